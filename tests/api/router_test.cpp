#include "api/router.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "api_harness.hpp"

namespace td::api {
namespace {

using test::ApiHarness;

TEST(Router, OptionsIsAnsweredAtOnceForAnyPath) {
    ApiHarness api;
    for (std::string path : {"/anything", "/api/pair", "/api/events", "/api/unpair", "/"}) {
        EXPECT_EQ(api.call("OPTIONS", path, "", "Origin: http://evil.example\r\n", true).raw,
                  "HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                  "Connection: close\r\n\r\n")
            << path;
    }
}

TEST(Router, OnlyGetReachesTheStaticFiles) {
    ApiHarness api;
    const auto& publicDir = api.server().publicDir();
    std::ofstream(publicDir / "index.html") << "<p>phone</p>";
    EXPECT_TRUE(api.call("GET", "/").raw.ends_with("\r\n\r\n<p>phone</p>"));
    EXPECT_TRUE(api.call("GET", "/api/nothing-here").raw.ends_with("\r\n\r\nnot found"));
    const std::string notFoundJson =
        "HTTP/1.1 404 ERR\r\nContent-Type: application/json\r\nContent-Length: 12\r\n"
        "Connection: close\r\n\r\n{\"ok\":false}";
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"HEAD", "/"},
                                                          {"POST", "/nowhere"},
                                                          {"PUT", "/api/nothing-here"},
                                                          {"get", "/"},
                                                          {"POST", "/api/pair/"}}) {
        EXPECT_EQ(api.call(method, path).raw, notFoundJson) << method << " " << path;
    }
}

TEST(Router, EventsOpenAStreamForAnyMethodWithoutAToken) {
    ApiHarness api;
    for (std::string method : {"GET", "POST"}) {
        auto client = test::LoopbackClient::from("127.0.0.2", api.port());
        client.send(method + " /api/events HTTP/1.1\r\n\r\n");
        const std::string start = client.readExactly(server::SSE_HEAD.size() + 18);
        EXPECT_TRUE(start.starts_with(server::SSE_HEAD)) << method;
        EXPECT_TRUE(start.ends_with("d\r\n: connected\n\n\r\n")) << method;
    }
}

std::vector<Endpoint> whereEndpoints() {
    return {
        {"/api/where", MethodRule::only("POST"), Access::open, Runs::onWorkPool,
         Answer([](const server::Request& r) {
             if (r.query.count("sleep")) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(1500));
             }
             return server::jsonResponse({{"ok", true}});
         })},
        {"/api/where", MethodRule::allBut("POST"), Access::open, Runs::onNetworkThread,
         Answer([](const server::Request& r) {
             return server::jsonResponse({{"ok", false}, {"method", r.method}});
         })},
    };
}

TEST(Router, AddingAnEndpointIsOneTableEntry) {
    ApiHarness api(whereEndpoints());
    EXPECT_EQ(test::bodyOf(api.call("DELETE", "/api/where").raw),
              R"({"ok":false,"method":"DELETE"})");
    EXPECT_EQ(test::bodyOf(api.call("POST", "/api/where").raw), R"({"ok":true})");
    EXPECT_EQ(api.call("POST", "/api/where/").status, 404);
}

TEST(Router, PoolEndpointsLeaveTheNetworkThreadFree) {
    ApiHarness api(whereEndpoints());
    std::vector<std::thread> blocking;
    for (int i = 0; i < 3; ++i) {
        blocking.emplace_back([&api] { api.call("POST", "/api/where?sleep=1"); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(api.call("GET", "/api/where").body["method"], "GET");
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::milliseconds(1200) /* the blocked ones take 1500 */);
    for (auto& t : blocking) {
        t.join();
    }
}

}  // namespace
}  // namespace td::api
