#include "api/access.hpp"

#include <gtest/gtest.h>

#include "api_harness.hpp"

namespace td::api {
namespace {

using test::ApiHarness;

server::Request localRequest(std::map<std::string, std::string> headers) {
    server::Request r;
    r.isLocal = true;
    r.headers = std::move(headers);
    return r;
}

TEST(LocalRequest, NeedsLoopbackPeerHostAndOrigin) {
    struct Case {
        std::map<std::string, std::string> headers;
        bool local;
    };
    const std::vector<Case> cases = {
        {{{"host", "127.0.0.1:8788"}}, true},
        {{{"host", "localhost:8788"}}, true},
        {{{"host", "[::1]:8788"}}, true},
        {{{"host", "127.0.0.1"}}, true},
        {{{"host", "127.0.0.1:8788"}, {"origin", "http://127.0.0.1:8788"}}, true},
        {{{"host", "localhost:8788"}, {"origin", "http://localhost:8788"}}, true},
        {{}, false},                               // no Host at all
        {{{"host", "evil.example:8788"}}, false},  // a rebound name
        {{{"host", "127.0.0.1.evil.example"}}, false},
        {{{"host", "[::1]evil"}}, false},
        {{{"host", "localhost:80x"}}, false},
        {{{"host", "localhost."}}, false},
        {{{"host", "127.0.0.1:8788"}, {"origin", "http://evil.example"}}, false},
        {{{"host", "127.0.0.1:8788"}, {"origin", "null"}}, false},
        {{{"host", "127.0.0.1:8788"}, {"origin", "http://127.0.0.1:9999"}}, false},
        {{{"host", "127.0.0.1:8788"}, {"origin", "https://127.0.0.1:8788"}}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(requestIsLocal(localRequest(c.headers), 8788), c.local)
            << testing::PrintToString(c.headers);
    }
    server::Request remote = localRequest({{"host", "127.0.0.1:8788"}});
    remote.isLocal = false;
    EXPECT_FALSE(requestIsLocal(remote, 8788));
}

// Every guarded endpoint of the table against every kind of caller.
TEST(AccessRules, EachEndpointAdmitsExactlyItsCallers) {
    ApiHarness api;
    const std::string own = "Origin: http://127.0.0.1:" + std::to_string(api.port()) + "\r\n";
    struct Endpoint {
        std::string method, path;
        Access rule;
    };
    const std::vector<Endpoint> guarded = {
        {"POST", "/api/unpair", Access::token},
        {"GET", "/api/config", Access::token},
        {"PUT", "/api/config", Access::token},
        {"POST", "/api/config", Access::localOrToken},
        {"POST", "/api/set-pin", Access::localOrToken},
        {"GET", "/api/connect", Access::localOrToken},
        {"POST", "/api/airdrop", Access::localOrToken},
    };
    for (const auto& e : guarded) {
        SCOPED_TRACE(e.method + " " + e.path);
        const std::string body = e.path == "/api/config" ? "{}" : "";
        const bool localPasses = e.rule == Access::localOrToken;
        auto refused = [](const ApiHarness::Answer& a) {
            return a.status == 401 && a.raw.ends_with("\r\n\r\n{\"ok\":false}");
        };
        EXPECT_EQ(refused(api.call(e.method, e.path, body)), !localPasses) << "local";
        EXPECT_EQ(refused(api.call(e.method, e.path, body, own)), !localPasses) << "own origin";
        EXPECT_TRUE(refused(api.call(e.method, e.path, body, "", true))) << "remote";
        EXPECT_TRUE(refused(api.call(e.method, e.path, body, "Origin: http://evil.example\r\n")))
            << "foreign origin";
        const std::string rebound =
            e.method + " " + e.path +
            " HTTP/1.1\r\nHost: evil.example:" + std::to_string(api.port()) +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        EXPECT_TRUE(test::exchange(api.port(), rebound).starts_with("HTTP/1.1 401 ERR"))
            << "rebound host";
        EXPECT_TRUE(refused(api.callWithToken(e.method, e.path, "0123abcd", body))) << "bad token";
        EXPECT_FALSE(refused(api.callWithToken(e.method, e.path, api.pairedToken(), body)))
            << "remote with token";
        EXPECT_FALSE(
            refused(api.callWithToken(e.method, e.path, api.pairedToken(), body, /*remote=*/false)))
            << "local with token";
    }
}

}  // namespace
}  // namespace td::api
