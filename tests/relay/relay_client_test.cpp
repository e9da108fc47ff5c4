#include "relay/relay_client.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "app/agent.hpp"
#include "net/https_client.hpp"
#include "relay_server/relay_service.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace td::relay {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// A real relay service with a certificate of the test's authority, and phones that reach it.
class RelayTest : public ::testing::Test {
  protected:
    void startRelay(std::uint16_t port = 0) {
        relay_server::RelayOptions options;
        options.address = "127.0.0.1";
        options.port = port;
        options.certFile = pki.certFile();
        options.keyFile = pki.keyFile();
        relay = std::make_unique<relay_server::RelayService>(options);
    }

    std::future<net::HttpResponse> phoneLater(const std::string& method, const std::string& path,
                                              std::string body = {}, std::string token = {}) {
        auto answer = std::make_shared<std::promise<net::HttpResponse>>();
        net::HttpRequest request;
        request.method = method;
        request.url = "https://127.0.0.1:" + std::to_string(relay->port()) + path;
        request.body = std::move(body);
        if (!token.empty()) {
            request.headers.emplace_back("X-TD-Token", token);
        }
        phones.send(request, [answer](net::HttpResponse r) { answer->set_value(std::move(r)); });
        return answer->get_future();
    }

    net::HttpResponse phone(const std::string& method, const std::string& path,
                            std::string body = {}, std::string token = {}) {
        auto future = phoneLater(method, path, std::move(body), std::move(token));
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    }

    test::TestPki pki;
    net::HttpsClient phones{net::TlsTrust{pki.caFile()}};
    std::unique_ptr<relay_server::RelayService> relay;
};

// The whole agent behind the relay: the switch, pairing, tokens, local-only pages and binary
// files, as a phone away from home meets them.
TEST_F(RelayTest, RelayedRequestsAreAnsweredByTheAgentAsARemotePhonesAre) {
    startRelay();
    test::TempDir emptyDir;
    ::setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
    ::setenv("SSL_CERT_DIR", emptyDir.path().c_str(), 1);
    test::TempDir dir;
    Settings settings;
    settings.port = 0;
    settings.supportFolder = dir.path() / "support";
    settings.resourcesFolder = TD_BUILD_DIR;
    settings.relayHost = "127.0.0.1:" + std::to_string(relay->port());
    settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};

    MainThread mainThread(MainThread::Context::own);
    std::promise<std::uint16_t> listening;
    std::atomic<int> connectedEvents{0};
    app::AgentEvents events;
    events.listening = [&](app::Agent&, std::uint16_t port) { listening.set_value(port); };
    events.relayChanged = [&](app::Agent&, bool connected) { connectedEvents += connected; };
    app::Agent agent(settings, mainThread, events);
    agent.start();
    std::thread loop([&] { mainThread.run(); });
    auto port = listening.get_future();
    ASSERT_EQ(port.wait_for(10s), std::future_status::ready);
    const std::uint16_t agentPort = port.get();
    const std::string id = "/phone/" + agent.store().relayId();

    auto postConfig = [&](bool relayOn) {
        Json config = agent.store().snapshotConfig();
        config["settings"]["relayEnabled"] = relayOn;
        const std::string body = config.dump();
        return test::exchange(agentPort,
                              "POST /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(relay->agentCount(), 0u);  // off in the shipped configuration
    postConfig(true);
    EXPECT_TRUE(eventually([&] { return relay->agentCount() == 1 && connectedEvents == 1; }));

    EXPECT_EQ(phone("GET", id + "/api/config").status, 401);
    const auto admin = phone("GET", id + "/api/admin");
    EXPECT_EQ(admin.body, R"({"ok":false})");  // relayed is never this computer: no PIN
    EXPECT_EQ(phone("POST", id + "/api/config", "{}").status, 401);
    const auto paired =
        phone("POST", id + "/api/pair", R"({"pin":")" + agent.store().pinValue() + "\"}");
    const std::string token = Json::parse(paired.body).value("token", "");
    ASSERT_FALSE(token.empty()) << paired.body;
    const auto config = phone("GET", id + "/api/config?x=1", {}, token);
    EXPECT_EQ(Json::parse(config.body)["relayUrl"], "https://" + settings.relayHost + id);

    std::ifstream file(std::string(TD_BUILD_DIR) + "/public/icon-192.png", std::ios::binary);
    std::stringstream png;
    png << file.rdbuf();
    const auto icon = phone("GET", id + "/icon-192.png");
    EXPECT_EQ(icon.contentType, "image/png");
    EXPECT_TRUE(icon.body == png.str()) << "the image changed on its way";

    postConfig(false);
    EXPECT_TRUE(eventually([&] { return relay->agentCount() == 0; }));
    EXPECT_EQ(phone("GET", id + "/api/config", {}, token).status, 502);
    mainThread.quit();
    loop.join();
}

// Replies leave in the order the answers finish, so only `reqId` ties each to its phone.
TEST_F(RelayTest, EveryReplyReachesThePhoneThatAsked) {
    startRelay();
    net::HttpsClient agentSide(net::TlsTrust{pki.caFile()});
    std::vector<std::thread> workers;
    std::mutex workersMutex;
    RelayLinks links;
    links.openSocket = [&agentSide](const std::string& url, net::WebSocketHandlers handlers) {
        return agentSide.openWebSocket(url, std::move(handlers));
    };
    links.replay = [&](server::Request request, RelayLinks::Done done) {
        std::lock_guard lock(workersMutex);
        workers.emplace_back([request = std::move(request), done = std::move(done)] {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::hash<std::string>{}(request.query.at("n")) % 50));
            done(server::textResponse(200, "text/plain", request.query.at("n")));
        });
    };
    links.runLater = [](std::chrono::milliseconds, std::function<void()>) {};
    auto client = RelayClient::create(
        "ECHO", "wss://127.0.0.1:" + std::to_string(relay->port()) + "/mac/ws?id=ECHO", links);
    client->setEnabled(true);
    ASSERT_TRUE(eventually([&] { return client->isConnected(); }));

    std::vector<std::future<net::HttpResponse>> answers;
    for (int n = 0; n < 200; ++n) {
        answers.push_back(phoneLater("GET", "/phone/ECHO/echo?n=" + std::to_string(n)));
    }
    int answered = 0;
    for (int n = 0; n < 200; ++n) {
        ASSERT_EQ(answers[n].wait_for(20s), std::future_status::ready);
        const auto answer = answers[n].get();
        if (answer.status == 200) {
            EXPECT_EQ(answer.body, std::to_string(n));
            ++answered;
        } else {
            EXPECT_EQ(answer.status, 503);  // past the requests one computer may keep waiting
        }
    }
    EXPECT_GE(answered, 64);
    client->setEnabled(false);
    std::lock_guard lock(workersMutex);
    for (auto& worker : workers) {
        worker.join();
    }
}

// The connection heals by itself every 5 s while wanted, says once that it was lost, and
// once switched off nothing opens it again: not even the failure the closed socket reports.
TEST_F(RelayTest, ReconnectsWhileEnabledAndNeverOnceDisabled) {
    startRelay();
    const std::uint16_t port = relay->port();
    net::HttpsClient agentSide(net::TlsTrust{pki.caFile()});
    MainThread mainThread(MainThread::Context::own);
    std::thread loop([&] { mainThread.run(); });
    std::atomic<int> opens{0}, ups{0}, losses{0};
    RelayLinks links;
    links.openSocket = [&](const std::string& url, net::WebSocketHandlers handlers) {
        ++opens;
        return agentSide.openWebSocket(url, std::move(handlers));
    };
    links.replay = [](server::Request, RelayLinks::Done done) {
        done(server::textResponse(200, "text/plain", "ok"));
    };
    links.runLater = [&](std::chrono::milliseconds delay, std::function<void()> task) {
        mainThread.postAfter(delay, std::move(task));
    };
    links.connectionChanged = [&](bool up) { ++(up ? ups : losses); };
    auto client =
        RelayClient::create("R", "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=R", links);
    client->setEnabled(true);
    client->setEnabled(true);  // the same value again: no second connection
    ASSERT_TRUE(eventually([&] { return ups == 1; }));
    EXPECT_EQ(opens, 1);

    relay.reset();
    ASSERT_TRUE(eventually([&] { return losses == 1; }));
    EXPECT_FALSE(client->isConnected());
    std::this_thread::sleep_for(6s);  // one attempt failed meanwhile
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(losses, 1);
    startRelay(port);
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return ups == 2; }, 8s));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, 6s);
    EXPECT_EQ(phone("GET", "/phone/R/").body, "ok");

    client->setEnabled(false);
    EXPECT_TRUE(eventually([&] { return relay->agentCount() == 0; }));
    const int opened = opens;
    relay.reset();
    std::this_thread::sleep_for(6s);
    EXPECT_EQ(opens, opened);
    EXPECT_EQ(losses, 1);
    mainThread.quit();
    loop.join();
}

}  // namespace
}  // namespace td::relay
