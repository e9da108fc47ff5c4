#include "api/router.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "../server/harness.hpp"
#include "support/loopback_client.hpp"

namespace td::api {
namespace {

using test::exchange;

class RouterTest : public ::testing::Test {
  protected:
    explicit RouterTest(std::vector<Endpoint> extra = {}) : extra_(std::move(extra)) {}

    void SetUp() override {
        running_ = std::make_unique<test::RunningServer>(
            [this](const server::ConnectionPtr& c, server::Request r) {
                router_->route(c, std::move(r));
            },
            [](server::ServerOptions&) {});
        auto table = endpoints(running_->server());
        table.insert(table.end(), extra_.begin(), extra_.end());
        router_ = std::make_unique<Router>(running_->server(), std::move(table));
        running_->publicDir().write("index.html", "<p>phone</p>");
    }
    void TearDown() override {
        running_.reset();  // stops the server before the router goes
        router_.reset();
    }
    std::string ask(std::string_view request) { return exchange(running_->port(), request); }

    std::vector<Endpoint> extra_;
    std::unique_ptr<test::RunningServer> running_;
    std::unique_ptr<Router> router_;
};

TEST_F(RouterTest, OptionsIsAnsweredAtOnceForAnyPath) {
    for (std::string path : {"/anything", "/api/pair", "/api/events", "/"}) {
        EXPECT_EQ(ask("OPTIONS " + path + " HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n"),
                  "HTTP/1.1 204 No Content\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                  "Connection: close\r\n\r\n")
            << path;
    }
}

TEST_F(RouterTest, OnlyGetReachesTheStaticFiles) {
    EXPECT_TRUE(ask("GET / HTTP/1.1\r\n\r\n").ends_with("\r\n\r\n<p>phone</p>"));
    EXPECT_TRUE(ask("GET /api/nothing-here HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nnot found"));
    const std::string notFoundJson =
        "HTTP/1.1 404 ERR\r\nContent-Type: application/json\r\nContent-Length: 12\r\n"
        "Connection: close\r\n\r\n{\"ok\":false}";
    for (std::string request :
         {"HEAD / HTTP/1.1\r\n\r\n", "POST /nowhere HTTP/1.1\r\n\r\n",
          "PUT /api/nothing-here HTTP/1.1\r\n\r\n", "get / HTTP/1.1\r\n\r\n"}) {
        EXPECT_EQ(ask(request), notFoundJson) << request;
    }
}

TEST_F(RouterTest, EventsOpenAStreamWhateverTheMethod) {
    for (std::string method : {"GET", "POST"}) {
        test::LoopbackClient client(running_->port());
        client.send(method + " /api/events HTTP/1.1\r\n\r\n");
        const std::string start = client.readExactly(server::SSE_HEAD.size() + 18);
        EXPECT_TRUE(start.starts_with(server::SSE_HEAD)) << method;
        EXPECT_TRUE(start.ends_with("d\r\n: connected\n\n\r\n")) << method;
    }
}

class RouterWithEndpointsTest : public RouterTest {
  protected:
    RouterWithEndpointsTest()
        : RouterTest({
              {"/api/where", MethodRule::only("POST"), Runs::onWorkPool,
               Answer([](const server::Request& r) {
                   if (r.query.count("sleep")) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                   }
                   return server::jsonResponse({{"ok", true}});
               })},
              {"/api/where", MethodRule::allBut("POST"), Runs::onNetworkThread,
               Answer([](const server::Request& r) {
                   return server::jsonResponse({{"ok", false}, {"method", r.method}});
               })},
          }) {}
};

TEST_F(RouterWithEndpointsTest, AddingAnEndpointIsOneTableEntry) {
    EXPECT_EQ(test::bodyOf(ask("DELETE /api/where HTTP/1.1\r\n\r\n")),
              R"({"ok":false,"method":"DELETE"})");
    EXPECT_EQ(test::bodyOf(ask("POST /api/where HTTP/1.1\r\n\r\n")), R"({"ok":true})");
    // Paths compare exactly: no trailing-slash tolerance.
    EXPECT_TRUE(ask("POST /api/where/ HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 404 ERR"));
}

TEST_F(RouterWithEndpointsTest, PoolEndpointsLeaveTheNetworkThreadsFree) {
    // More blocking requests than there are network threads: a static GET still goes through.
    std::vector<std::thread> blocking;
    for (int i = 0; i < 3; ++i) {
        blocking.emplace_back([this] { ask("POST /api/where?sleep=1 HTTP/1.1\r\n\r\n"); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(ask("GET / HTTP/1.1\r\n\r\n").ends_with("<p>phone</p>"));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(800));
    for (auto& t : blocking) {
        t.join();
    }
}

}  // namespace
}  // namespace td::api
