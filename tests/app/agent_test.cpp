#include <gtest/gtest.h>

#include "api/api_fixture.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/test_tls.hpp"

namespace td::app {
namespace {

using namespace std::chrono_literals;

// Stopping is the moment members' order matters: with a plan waiting on the HTTPS client and a
// handler running on the pool, everything must end without touching what is already gone
// (the sanitizer build turns any such touch into a failure).
TEST(Agent, StopsWhileAPlanWaitsAndAHandlerRuns) {
    test::ScriptedServer silentPlanner(test::ScriptedServer::Behaviour::hang);
    auto api = std::make_unique<test::ApiFixture>([&](Settings& settings) {
        settings.planner = {"http://127.0.0.1:" + std::to_string(silentPlanner.port()), true};
    });
    api->apiKey = "sk-test";
    const std::uint16_t port = api->listen();
    ASSERT_NE(port, 0);
    const std::string token = api->pairedToken();

    auto post = [port](const std::string& path, const std::string& token, const std::string& body) {
        auto client = std::make_unique<test::LoopbackClient>(port);
        client->send("POST " + path + " HTTP/1.1\r\nX-TD-Token: " + token +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return client;
    };
    auto planning = post("/api/plan", token, R"({"intent":"open mail"})");
    std::string steps = R"({"type":"gesture","value":"spotlight"})";
    for (int i = 1; i < 32; ++i) {
        steps += R"(,{"type":"gesture","value":"spotlight"})";
    }
    auto running = post("/api/run-plan", token, "{\"steps\":[" + steps + "]}");
    ASSERT_TRUE(test::eventually([&] { return !silentPlanner.requests().empty(); }));
    ASSERT_EQ(silentPlanner.requests().size(), 1u);  // the plan now waits on the client

    const auto before = std::chrono::steady_clock::now();
    api.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);  // the plan had 12 s to go
    EXPECT_TRUE(planning->closedByPeer(1s));
    const std::string stopped = running->readAll(1s);  // told it stopped, or just closed
    EXPECT_TRUE(stopped.empty() || stopped.ends_with(R"({"ok":false,"error":"Stopped","ran":1})"))
        << stopped;
}

}  // namespace
}  // namespace td::app
