#include "api/access.hpp"

#include <gtest/gtest.h>

#include "api_fixture.hpp"
#include "support/loopback_client.hpp"

namespace td::api {
namespace {

using server::RequestSource;
using test::ApiFixture;

TEST(LocalRequest, NeedsALoopbackPeerHostAndOrigin) {
    struct Case {
        RequestSource source;
        std::map<std::string, std::string> headers;
        bool local;
    };
    const auto loopback = RequestSource::loopback;
    const std::vector<Case> cases = {
        {loopback, {{"host", "127.0.0.1:8788"}}, true},
        {loopback, {{"host", "localhost:8788"}}, true},
        {loopback, {{"host", "[::1]:8788"}}, true},
        {loopback, {{"host", "127.0.0.1"}}, true},
        {loopback, {{"host", "127.0.0.1:8788"}, {"origin", "http://127.0.0.1:8788"}}, true},
        {loopback, {{"host", "localhost:8788"}, {"origin", "http://localhost:8788"}}, true},
        {loopback, {}, false},                               // no Host at all
        {loopback, {{"host", "evil.example:8788"}}, false},  // a rebound name
        {loopback, {{"host", "127.0.0.1.evil.example"}}, false},
        {loopback, {{"host", "[::1]evil"}}, false},
        {loopback, {{"host", "localhost:80x"}}, false},
        {loopback, {{"host", "localhost."}}, false},
        {loopback, {{"host", "127.0.0.1:8788"}, {"origin", "http://evil.example"}}, false},
        {loopback, {{"host", "127.0.0.1:8788"}, {"origin", "null"}}, false},
        {loopback, {{"host", "127.0.0.1:8788"}, {"origin", "http://127.0.0.1:9999"}}, false},
        {loopback, {{"host", "127.0.0.1:8788"}, {"origin", "https://127.0.0.1:8788"}}, false},
        {RequestSource::network, {{"host", "127.0.0.1:8788"}}, false},
        // Replayed by the relay client over loopback: a phone far away, never this computer.
        {RequestSource::relay, {{"host", "127.0.0.1:8788"}}, false},
        {RequestSource::relay,
         {{"host", "127.0.0.1:8788"}, {"origin", "http://127.0.0.1:8788"}},
         false},
    };
    for (const auto& c : cases) {
        server::Request request;
        request.source = c.source;
        request.headers = c.headers;
        EXPECT_EQ(requestIsLocal(request, 8788), c.local)
            << static_cast<int>(c.source) << " " << testing::PrintToString(c.headers);
    }
}

// Every kind of caller against endpoints of every access rule: on real sockets for callers
// that arrive on one, in memory for requests the relay replays.
TEST(AccessRules, EachEndpointAdmitsExactlyItsCallers) {
    ApiFixture api;
    const std::uint16_t port = api.listen();
    const std::string portText = std::to_string(port);
    struct Endpoint {
        std::string method, path;
        Access rule;
        int refusal = 401;
    };
    const std::vector<Endpoint> endpoints = {
        {"POST", "/api/unpair", Access::token},
        {"GET", "/api/config", Access::token},
        {"POST", "/api/launch", Access::token},
        {"POST", "/api/run-plan", Access::token},
        {"POST", "/api/config", Access::localOrToken},
        {"POST", "/api/set-pin", Access::localOrToken},
        {"GET", "/api/connect", Access::localOrToken},
        {"GET", "/api/shortcuts", Access::localOrToken},
        {"POST", "/api/open-admin", Access::localOrToken},
        {"GET", "/api/open-admin", Access::localOrToken},
        {"GET", "/api/admin", Access::localOrToken, 200},
    };
    struct Caller {
        std::string name;
        bool fromThisComputer;  // a loopback peer (else 127.0.0.2, a phone on the network)
        std::string host, extraHeaders;
        bool withToken;
        bool admittedByLocalRule;
    };
    const std::vector<Caller> callers = {
        {"this computer", true, "127.0.0.1:" + portText, "", false, true},
        {"own page", true, "localhost:" + portText, "Origin: http://localhost:" + portText + "\r\n",
         false, true},
        {"foreign page", true, "127.0.0.1:" + portText, "Origin: http://evil.example\r\n", false,
         false},
        {"rebound name", true, "evil.example:" + portText, "", false, false},
        // An <img> or a no-cors fetch of another site's page: no Origin, but the browser says.
        {"cross-site", true, "127.0.0.1:" + portText, "Sec-Fetch-Site: cross-site\r\n", false,
         false},
        {"same-site", true, "127.0.0.1:" + portText, "Sec-Fetch-Site: same-site\r\n", false, false},
        {"own page, marked", true, "127.0.0.1:" + portText, "Sec-Fetch-Site: same-origin\r\n",
         false, true},
        {"network", false, "127.0.0.1:" + portText, "", false, false},
        {"bad token", false, "127.0.0.1:" + portText, "X-TD-Token: 0123abcd\r\n", false, false},
        {"network with token", false, "127.0.0.1:" + portText, "", true, false},
        {"this computer with token", true, "127.0.0.1:" + portText, "", true, true},
    };
    auto refused = [](const test::Answer& answer, const Endpoint& e) {
        return answer.status == e.refusal && answer.body == Json{{"ok", false}};
    };
    for (const auto& e : endpoints) {
        const std::string body = e.path == "/api/config" ? "{}" : "";
        for (const auto& caller : callers) {
            SCOPED_TRACE(e.method + " " + e.path + " from " + caller.name);
            const std::string token =
                caller.withToken ? "X-TD-Token: " + api.pairedToken() + "\r\n" : "";
            const std::string request =
                e.method + " " + e.path + " HTTP/1.1\r\nHost: " + caller.host + "\r\n" +
                caller.extraHeaders + token + "Content-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body;
            const auto answer =
                test::readAnswer(caller.fromThisComputer ? test::exchange(port, request)
                                                         : test::exchangeRemote(port, request));
            const bool admitted =
                caller.withToken || (e.rule == Access::localOrToken && caller.admittedByLocalRule);
            EXPECT_EQ(refused(answer, e), !admitted) << answer.raw;
        }
        SCOPED_TRACE(e.method + " " + e.path + " through the relay");
        const test::Headers loopbackHost = {{"host", "127.0.0.1:" + portText}};
        EXPECT_TRUE(refused(
            api.call(server::RequestSource::relay, e.method, e.path, body, loopbackHost), e));
        test::Headers withToken = loopbackHost;
        withToken["x-td-token"] = api.pairedToken();
        EXPECT_FALSE(
            refused(api.call(server::RequestSource::relay, e.method, e.path, body, withToken), e));
    }
}

}  // namespace
}  // namespace td::api
