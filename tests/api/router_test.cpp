#include "api/router.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "api_fixture.hpp"

namespace td::api {
namespace {

using test::ApiFixture;

TEST(Router, OptionsIsAnsweredAtOnceForAnyPath) {
    ApiFixture api;
    for (std::string path : {"/anything", "/api/pair", "/api/events", "/api/unpair", "/"}) {
        EXPECT_EQ(api.remote("OPTIONS", path, "", {{"origin", "http://evil.example"}}).raw,
                  "HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n" +
                      std::string(server::PAGE_GUARD_HEADERS) + "Connection: close\r\n\r\n")
            << path;
    }
}

TEST(Router, OnlyGetReachesTheStaticFiles) {
    ApiFixture api;
    std::ofstream(api.dir().path() / "public/index.html") << "<p>phone</p>";
    EXPECT_TRUE(api.remote("GET", "/").raw.ends_with("\r\n\r\n<p>phone</p>"));
    EXPECT_TRUE(api.remote("GET", "/api/nothing-here").raw.ends_with("\r\n\r\nnot found"));
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"HEAD", "/"},
                                                          {"POST", "/nowhere"},
                                                          {"PUT", "/api/nothing-here"},
                                                          {"get", "/"},
                                                          {"POST", "/api/pair/"}}) {
        const auto answer = api.remote(method, path);
        EXPECT_EQ(answer.status, 404) << method << " " << path;
        EXPECT_EQ(answer.body, (Json{{"ok", false}})) << method << " " << path;
    }
}

TEST(Router, EventsOpenAStreamForAnyMethodWithoutAToken) {
    ApiFixture api;
    auto stream = api.openEventStream();
    EXPECT_EQ(stream->sentAtLeast(0), std::string(server::SSE_HEAD) + "d\r\n: connected\n\n\r\n");
    api.server().broadcastReload();
    EXPECT_TRUE(stream->sentAtLeast(300).ends_with(ApiFixture::RELOAD_CHUNK));
}

// Extra endpoints: one where the table says to block, one that must not, one that throws.
std::vector<Endpoint> probeEndpoints(std::thread::id& ranOn) {
    auto recordThread = [&ranOn](const server::Request&) {
        ranOn = std::this_thread::get_id();
        return server::jsonResponse({{"ok", true}});
    };
    return {
        {"/api/probe", MethodRule::only("POST"), Access::open, Runs::onWorkPool,
         Answer(recordThread)},
        {"/api/probe", MethodRule::allBut("POST"), Access::open, Runs::onNetworkThread,
         Answer(recordThread)},
        {"/api/throws", MethodRule::anyMethod(), Access::open, Runs::onWorkPool,
         Answer([](const server::Request&) -> server::Response {
             throw std::runtime_error("broken handler");
         })},
    };
}

TEST(Router, EachEndpointRunsWhereItsRowSays) {
    std::thread::id ranOn;
    ApiFixture api({}, probeEndpoints(ranOn));
    EXPECT_EQ(api.remote("POST", "/api/probe").body, (Json{{"ok", true}}));
    EXPECT_NE(ranOn, std::this_thread::get_id());  // the pool, never the caller's thread
    EXPECT_EQ(api.remote("GET", "/api/probe").body, (Json{{"ok", true}}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(api.remote("POST", "/api/probe/").status, 404);
}

TEST(Router, AHandlerThatThrowsIsAnswered500AndServingGoesOn) {
    std::thread::id ranOn;
    ApiFixture api({}, probeEndpoints(ranOn));
    const auto failed = api.remote("POST", "/api/throws");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.body, (Json{{"ok", false}}));
    EXPECT_EQ(api.remote("POST", "/api/probe").status, 200);
}

}  // namespace
}  // namespace td::api
