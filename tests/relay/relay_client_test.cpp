#include "relay/relay_client.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/agent.hpp"
#include "net/https_client.hpp"
#include "relay/relay_identity.hpp"
#include "relay_server/relay_service.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace td::relay {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// Signs the relay's challenge with the key, as the agent does with its own.
std::function<std::optional<Proof>(std::string_view)> proverFor(const RelayIdentity& identity) {
    return [identity](std::string_view message) {
        return std::optional(Proof{identity.rawPublicKey(), identity.sign(message)});
    };
}

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

    // The agent's settings: a support folder in `dir`, resources from the build unless given,
    // the relay this test started, and the test's authority trusted alone.
    Settings agentSettings(const test::TempDir& dir,
                           std::filesystem::path resources = TD_BUILD_DIR) {
        ::setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
        ::setenv("SSL_CERT_DIR", noCertificates.path().c_str(), 1);
        Settings settings;
        settings.port = 0;
        settings.supportFolder = dir.path() / "support";
        settings.resourcesFolder = std::move(resources);
        settings.relayHost = "127.0.0.1:" + std::to_string(relay->port());
        settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};
        return settings;
    }

    test::TestPki pki;
    test::TempDir noCertificates;
    net::HttpsClient phones{net::TlsTrust{pki.caFile()}};
    std::unique_ptr<relay_server::RelayService> relay;
};

// The whole agent in this process, its main loop on a thread of its own.
class RunningAgent {
  public:
    RunningAgent(const Settings& settings, app::AgentEvents events = {}) {
        auto listening = std::make_shared<std::promise<std::uint16_t>>();
        auto told = events.listening;
        events.listening = [listening, told](app::Agent& agent, std::uint16_t port) {
            listening->set_value(port);
            if (told) {
                told(agent, port);
            }
        };
        agent_ = std::make_unique<app::Agent>(settings, mainThread_, events);
        agent_->start();
        loop_ = std::thread([this] { mainThread_.run(); });
        auto port = listening->get_future();
        if (port.wait_for(10s) == std::future_status::ready) {
            port_ = port.get();
        }
    }
    ~RunningAgent() {
        mainThread_.quit();
        loop_.join();
        agent_.reset();
    }

    std::uint16_t port() const { return port_; }  // 0: it never listened
    app::Agent& agent() { return *agent_; }

  private:
    MainThread mainThread_{MainThread::Context::own};
    std::unique_ptr<app::Agent> agent_;
    std::thread loop_;
    std::uint16_t port_ = 0;
};

// The whole agent behind the relay: its key, the switch, pairing, tokens, local-only pages and
// binary files, as a phone away from home meets them.
TEST_F(RelayTest, RelayedRequestsAreAnsweredByTheAgentAsARemotePhonesAre) {
    startRelay();
    test::TempDir dir;
    // An agent from before keys: its random identifier gives way to the key's, once.
    dir.write("support/state.json",
              R"({"pin":"123456","tokens":[],"relayId":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427"})");
    ::chmod((dir.path() / "support").c_str(), 0700);
    const Settings settings = agentSettings(dir);
    std::atomic<int> connectedEvents{0};
    app::AgentEvents events;
    events.relayChanged = [&](app::Agent&, bool connected) { connectedEvents += connected; };
    RunningAgent running(settings, events);
    app::Agent& agent = running.agent();
    const std::uint16_t agentPort = running.port();
    ASSERT_NE(agentPort, 0);
    const std::string id = "/phone/" + agent.store().relayId();
    const auto key = RelayIdentity::loadOrCreate(dir.path() / "support/relay.key");
    ASSERT_TRUE(key);
    EXPECT_EQ(agent.store().relayId(), key->id());
    struct stat keyFile {};
    ::stat((dir.path() / "support/relay.key").c_str(), &keyFile);
    EXPECT_EQ(keyFile.st_mode & 0777, 0600u);

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
}

// A stranger on the LAN or anyone who knows the relay's address asks for files outside the
// pages: the state with the PIN, the system's own, through a link planted in the folder.
TEST_F(RelayTest, StaticTargetsReachNothingOutsideThePublicFolder) {
    startRelay();
    test::TempDir dir;
    dir.write("resources/public/index.html", "phone page");
    dir.write("resources/public/css/app.css", "body{}");
    dir.write("resources/config.json", R"({"pages":[],"settings":{"relayEnabled":true}})");
    dir.write("resources/secret.txt", "SECRET beside the pages");
    const auto publicDir = dir.path() / "resources/public";
    std::filesystem::create_symlink(dir.path() / "resources/secret.txt", publicDir / "out.txt");
    std::filesystem::create_symlink("css/app.css", publicDir / "in.css");
    std::filesystem::create_directory_symlink("/etc", publicDir / "etc");
    RunningAgent running(agentSettings(dir, dir.path() / "resources"));
    ASSERT_NE(running.port(), 0);
    ASSERT_TRUE(eventually([&] { return relay->agentCount() == 1; }));
    const std::string state = (dir.path() / "support/state.json").string();
    const std::string relayed = "/phone/" + running.agent().store().relayId();

    const std::vector<std::pair<std::string, std::string>> served = {
        {"/", "phone page"}, {"/css/app.css", "body{}"}, {"/in.css", "body{}"}};
    std::vector<std::string> refused = {"////etc/hostname",
                                        "/%2Fetc/hostname",
                                        "/%2fetc%2fhostname",
                                        "//" + state,
                                        "/%2F" + state.substr(1),
                                        "/css/..%2F..%2Fsecret.txt",
                                        "/a/..%2F..",
                                        "/./index.html",
                                        "/css/./app.css",
                                        "/css//app.css",
                                        "/css/",
                                        "/css",
                                        "/..",
                                        "/%2E%2E/secret.txt",
                                        "/css%5C..%5C..%5Csecret.txt",
                                        "/index.html%00.png",
                                        "/out.txt",
                                        "/etc/hostname",
                                        "/admin/",
                                        "//public/index.html"};
    for (const auto& [target, body] : served) {
        const std::string lan = test::exchangeRemote(
            running.port(), "GET " + target + " HTTP/1.1\r\nHost: 192.168.1.20:8788\r\n\r\n");
        EXPECT_EQ(test::bodyOf(lan), body) << target;
        EXPECT_EQ(phone("GET", relayed + target).body, body) << "relayed " << target;
    }
    for (const std::string& target : refused) {
        const std::string lan = test::exchangeRemote(
            running.port(), "GET " + target + " HTTP/1.1\r\nHost: 192.168.1.20:8788\r\n\r\n");
        EXPECT_TRUE(lan.starts_with("HTTP/1.1 404 ERR\r\n")) << target << ": " << lan;
        EXPECT_EQ(test::bodyOf(lan), "not found") << target;
        const auto viaRelay = phone("GET", relayed + target);
        EXPECT_EQ(viaRelay.body, "not found") << "relayed " << target;
    }
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
    const RelayIdentity identity = *RelayIdentity::generate();
    links.prove = proverFor(identity);
    auto client = RelayClient::create(
        identity.id(),
        "wss://127.0.0.1:" + std::to_string(relay->port()) + "/mac/ws?id=" + identity.id(), links);
    client->setEnabled(true);
    ASSERT_TRUE(eventually([&] { return relay->agentCount() == 1; }));

    std::vector<std::future<net::HttpResponse>> answers;
    for (int n = 0; n < 200; ++n) {
        answers.push_back(
            phoneLater("GET", "/phone/" + identity.id() + "/echo?n=" + std::to_string(n)));
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
// Time is the test's: what the client asks to run later runs when the test says so.
TEST_F(RelayTest, ReconnectsWhileEnabledAndNeverOnceDisabled) {
    startRelay();
    const std::uint16_t port = relay->port();
    net::HttpsClient agentSide(net::TlsTrust{pki.caFile()});
    MainThread mainThread(MainThread::Context::own);
    std::thread loop([&] { mainThread.run(); });
    std::atomic<int> opens{0}, ups{0}, losses{0};
    std::mutex laterMutex;
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> later;
    const auto waitingLater = [&] {
        std::lock_guard lock(laterMutex);
        return later.size();
    };
    // Runs what waits, as its time had come; the delays it was asked for.
    const auto timePasses = [&] {
        std::lock_guard lock(laterMutex);
        std::vector<std::chrono::milliseconds> delays;
        for (auto& [delay, task] : later) {
            delays.push_back(delay);
            mainThread.post(std::move(task));
        }
        later.clear();
        return delays;
    };
    RelayLinks links;
    links.openSocket = [&](const std::string& url, net::WebSocketHandlers handlers) {
        ++opens;
        return agentSide.openWebSocket(url, std::move(handlers));
    };
    links.replay = [](server::Request, RelayLinks::Done done) {
        done(server::textResponse(200, "text/plain", "ok"));
    };
    links.runLater = [&](std::chrono::milliseconds delay, std::function<void()> task) {
        std::lock_guard lock(laterMutex);
        later.emplace_back(delay, std::move(task));
    };
    links.connectionChanged = [&](bool up) { ++(up ? ups : losses); };
    const RelayIdentity identity = *RelayIdentity::generate();
    links.prove = proverFor(identity);
    auto client = RelayClient::create(
        identity.id(), "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=" + identity.id(),
        links);
    client->setEnabled(true);
    client->setEnabled(true);  // the same value again: no second connection
    ASSERT_TRUE(eventually([&] { return ups == 1; }));
    EXPECT_EQ(opens, 1);

    relay.reset();
    ASSERT_TRUE(eventually([&] { return losses == 1 && waitingLater() == 1; }));
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(timePasses(), std::vector<std::chrono::milliseconds>{5s});
    ASSERT_TRUE(eventually([&] { return opens == 2 && waitingLater() == 1; }));  // it failed
    EXPECT_EQ(losses, 1);                                                        // said once
    startRelay(port);
    EXPECT_EQ(timePasses(), std::vector<std::chrono::milliseconds>{5s});
    ASSERT_TRUE(eventually([&] { return ups == 2 && relay->agentCount() == 1; }));
    EXPECT_EQ(phone("GET", "/phone/" + identity.id() + "/").body, "ok");

    client->setEnabled(false);
    EXPECT_TRUE(eventually([&] { return relay->agentCount() == 0; }));
    const int opened = opens;
    relay.reset();
    timePasses();
    mainThread.post([&] { mainThread.quit(); });  // after whatever the close left to run
    loop.join();
    EXPECT_EQ(opens, opened);
    EXPECT_EQ(waitingLater(), 0u);
    EXPECT_EQ(losses, 1);
}

}  // namespace
}  // namespace td::relay
