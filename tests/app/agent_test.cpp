#include "app/agent.hpp"

#include <gtest/gtest.h>

#include <future>

#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace td::app {
namespace {

using namespace std::chrono_literals;

// Stopping is the moment members' order matters: with a plan waiting on the HTTPS client and a
// handler running on the pool, everything must end without touching what is already gone
// (the sanitizer build turns any such touch into a failure).
TEST(Agent, StopsWhileAPlanWaitsAndAHandlerRuns) {
    test::TempDir dir;
    test::ScriptedServer silentPlanner(test::ScriptedServer::Behaviour::hang);
    Settings settings;
    settings.port = 0;
    settings.supportFolder = dir.path() / "support";
    settings.resourcesFolder = dir.path();
    settings.planner = {"http://127.0.0.1:" + std::to_string(silentPlanner.port()), true};
    settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};
    settings.plannerKey = [] { return std::string("sk-test"); };

    MainThread mainThread(MainThread::Context::own);
    std::uint16_t port = 0;
    AgentEvents events;
    events.listening = [&](Agent&, std::uint16_t listening) {
        port = listening;
        mainThread.quit();
    };
    auto agent = std::make_unique<Agent>(settings, mainThread, events);
    agent->start();
    mainThread.postAfter(10s, [&mainThread] { mainThread.quit(); });
    mainThread.run();
    ASSERT_NE(port, 0);

    auto post = [port](const std::string& path, const std::string& token, const std::string& body) {
        auto client = std::make_unique<test::LoopbackClient>(port);
        client->send("POST " + path + " HTTP/1.1\r\nX-TD-Token: " + token +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return client;
    };
    const std::string pin = R"({"pin":")" + agent->store().pinValue() + "\"}";
    const std::string pairing = test::exchangeRemote(
        port, "POST /api/pair HTTP/1.1\r\nContent-Length: " + std::to_string(pin.size()) +
                  "\r\n\r\n" + pin);
    const std::string token = Json::parse(test::bodyOf(pairing))["token"];

    auto planning = post("/api/plan", token, R"({"intent":"open mail"})");
    std::string steps = R"({"type":"gesture","value":"spotlight"})";
    for (int i = 1; i < 32; ++i) {
        steps += R"(,{"type":"gesture","value":"spotlight"})";
    }
    auto running = post("/api/run-plan", token, "{\"steps\":[" + steps + "]}");
    for (int i = 0; i < 500 && silentPlanner.requests().empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(silentPlanner.requests().size(), 1u);  // the plan now waits on the client

    const auto before = std::chrono::steady_clock::now();
    agent.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);  // the plan had 12 s to go
    EXPECT_TRUE(planning->closedByPeer(1s));
    const std::string stopped = running->readAll(1s);  // told it stopped, or just closed
    EXPECT_TRUE(stopped.empty() || stopped.ends_with(R"({"ok":false,"error":"Stopped","ran":1})"))
        << stopped;
}

}  // namespace
}  // namespace td::app
