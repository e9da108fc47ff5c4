#include "relay/relay_client.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <ranges>
#include <thread>

#include "app/agent.hpp"
#include "relay/relay_identity.hpp"
#include "relay/running_agent.hpp"
#include "relay_server/relay_harness.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

namespace td::relay {
namespace {

using namespace std::chrono_literals;
using test::eventually;

class RelayTest : public test::RelayHarness {
  protected:
    // The agent's settings: a support folder in `dir`, resources in `dir`/resources, the relay
    // this test started, and the test's authority trusted alone.
    Settings agentSettings(const test::TempDir& dir) {
        ::setenv("SSL_CERT_FILE", pki.caFile().c_str(), 1);
        ::setenv("SSL_CERT_DIR", noCertificates.path().c_str(), 1);
        Settings settings;
        settings.port = 0;
        settings.supportFolder = dir.path() / "support";
        settings.resourcesFolder = dir.path() / "resources";
        settings.relayHost = "127.0.0.1:" + std::to_string(relay->port());
        settings.updateManifest = {"http://127.0.0.1:1/latest.json", true};
        return settings;
    }

    test::TempDir noCertificates;
};

// The whole agent behind the relay, as a phone away from home meets it: its key, the switch,
// pairing, tokens and local-only pages (tests/e2e/relay.test.mjs sees binary files arrive whole).
// Neither that phone nor a stranger on the LAN reaches a file outside the pages: the state with
// the PIN, the system's own, or one through a link planted in the folder.
TEST_F(RelayTest, RelayedRequestsAreAnsweredByTheAgentAsARemotePhonesAre) {
    startRelay();
    test::TempDir dir;
    const auto publicDir = dir.path() / "resources/public";
    dir.write("resources/public/index.html", "phone page");
    dir.write("resources/public/css/app.css", "body{}");
    dir.write("resources/secret.txt", "SECRET beside the pages");
    // The shipped configuration: the relay off.
    std::filesystem::copy_file(TD_BUILD_DIR "/config.json", dir.path() / "resources/config.json");
    std::filesystem::create_symlink(dir.path() / "resources/secret.txt", publicDir / "out.txt");
    std::filesystem::create_symlink("css/app.css", publicDir / "in.css");
    std::filesystem::create_directory_symlink("/etc", publicDir / "etc");
    // An agent from before keys: its random identifier gives way to the key's, once.
    dir.write("support/state.json",
              R"({"pin":"123456","tokens":[],"relayId":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427"})");
    ::chmod((dir.path() / "support").c_str(), 0700);
    std::atomic<int> connectedEvents{0};
    app::AgentEvents events;
    events.relayChanged = [&](app::Agent&, bool connected) { connectedEvents += connected; };
    const Settings settings = agentSettings(dir);
    RunningAgent agent(settings, events);
    const std::uint16_t agentPort = agent.port();
    ASSERT_NE(agentPort, 0);
    const auto key = RelayIdentity::loadOrCreate(dir.path() / "support/relay.key");
    ASSERT_TRUE(key);
    EXPECT_EQ(agent->store().relayId(), key->id());
    struct stat keyFile {};
    ::stat((dir.path() / "support/relay.key").c_str(), &keyFile);
    EXPECT_EQ(keyFile.st_mode & 0777, 0600u);
    const std::string id = "/phone/" + key->id();

    auto postConfig = [&](bool relayOn) {
        Json config = agent->store().snapshotConfig();
        config["settings"]["relayEnabled"] = relayOn;
        const std::string body = config.dump();
        return test::exchange(agentPort,
                              "POST /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(relay->agentCount(), 0u);
    postConfig(true);
    EXPECT_TRUE(eventually([&] { return relay->agentCount() == 1 && connectedEvents == 1; }));

    EXPECT_EQ(fetch("GET", id + "/api/config").status, 401);
    EXPECT_EQ(fetch("GET", id + "/api/admin").body, R"({"ok":false})");  // never this computer
    EXPECT_EQ(fetch("POST", id + "/api/config", "{}").status, 401);
    const auto paired =
        fetch("POST", id + "/api/pair", R"({"pin":")" + agent->store().pinValue() + "\"}");
    const std::string token = Json::parse(paired.body).value("token", "");
    ASSERT_FALSE(token.empty()) << paired.body;
    const Headers withToken = {{"X-TD-Token", token}};
    const auto config = fetch("GET", id + "/api/config?x=1", {}, withToken);
    EXPECT_EQ(Json::parse(config.body)["relayUrl"], "https://" + settings.relayHost + id);
    // Files need the computer's own connection: this relay reads what it carries, and says so.
    const auto shared =
        fetch("POST", id + "/api/share", "--B\r\n\r\nx\r\n--B--\r\n",
              {{"X-TD-Token", token}, {"Content-Type", "multipart/form-data; boundary=B"}});
    EXPECT_EQ(shared.status, 413);
    EXPECT_NE(shared.body.find("Files cannot go through this relay"), std::string::npos);

    const std::string state = (dir.path() / "support/state.json").string();
    const std::vector<std::pair<std::string, std::string>> served = {
        {"/", "phone page"}, {"/css/app.css", "body{}"}, {"/in.css", "body{}"}};
    std::vector<std::string> refused = {"//" + state, "/%2F" + state.substr(1)};
    for (const auto target : std::views::split(
             std::string_view(
                 "////etc/hostname /%2Fetc/hostname /%2fetc%2fhostname /.. /a/..%2F.. "
                 "/css/..%2F..%2Fsecret.txt /%2E%2E/secret.txt /css%5C..%5C..%5Csecret.txt "
                 "/./index.html /css/./app.css /css//app.css /css/ /css /admin/ "
                 "/index.html%00.png /out.txt /etc/hostname //public/index.html"),
             ' ')) {
        refused.emplace_back(target.begin(), target.end());
    }
    const auto fromLan = [&](const std::string& target) {
        return test::exchangeRemote(
            agentPort, "GET " + target + " HTTP/1.1\r\nHost: 192.168.1.20:8788\r\n\r\n");
    };
    for (const auto& [target, body] : served) {
        EXPECT_EQ(test::bodyOf(fromLan(target)), body) << target;
        EXPECT_EQ(fetch("GET", id + target).body, body) << "relayed " << target;
    }
    for (const std::string& target : refused) {
        const std::string lan = fromLan(target);
        EXPECT_TRUE(lan.starts_with("HTTP/1.1 404 ERR\r\n")) << target << ": " << lan;
        EXPECT_EQ(test::bodyOf(lan), "not found") << target;
        EXPECT_EQ(fetch("GET", id + target).body, "not found") << "relayed " << target;
    }

    postConfig(false);
    EXPECT_TRUE(proven(0));
    EXPECT_EQ(fetch("GET", id + "/api/config", {}, withToken).status, 502);
}

// The agent's client alone on the relay, answering as the test says. Replies leave in the order
// the answers finish, so only `reqId` ties each to its phone. The connection heals by itself
// every 5 s while wanted, says once that it was lost, and once switched off nothing opens it
// again: not even the failure the closed socket reports. Time is the test's: what the client
// asks to run later runs when the test says so.
TEST_F(RelayTest, EachReplyReachesItsPhoneAndTheClientReconnectsOnlyWhileEnabled) {
    startRelay();
    const std::uint16_t port = relay->port();
    net::HttpsClient agentSide(net::TlsTrust{pki.caFile()});
    MainThread mainThread(MainThread::Context::own);
    std::thread loop([&] { mainThread.run(); });
    std::atomic<int> opens{0}, ups{0}, losses{0};
    std::atomic<bool> holding{true};  // replays wait for the test until it says otherwise
    std::mutex mutex;                 // guards the two below
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> later;
    std::vector<std::pair<std::string, server::ConnectionPtr>> held;
    const auto sizeOf = [&](const auto& waiting) {
        std::lock_guard lock(mutex);
        return waiting.size();
    };
    // Runs what waits, as its time had come; the delays it was asked for.
    const auto timePasses = [&] {
        std::lock_guard lock(mutex);
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
    links.replay = [&](server::ConnectionPtr connection, server::Request request) {
        const std::string n = request.query.at("n");
        if (!holding) {
            return connection->send(server::textResponse(200, "text/plain", n));
        }
        std::lock_guard lock(mutex);
        held.emplace_back(n, std::move(connection));
    };
    links.runLater = [&](std::chrono::milliseconds delay, std::function<void()> task) {
        if (delay == RelayClient::REPLAY_DEADLINE) {
            return;  // the replays' deadline is not this test's
        }
        std::lock_guard lock(mutex);
        later.emplace_back(delay, std::move(task));
    };
    links.connectionChanged = [&](bool up) { ++(up ? ups : losses); };
    const RelayIdentity identity = *RelayIdentity::generate();
    links.prove = [&identity](std::string_view message) {
        return std::optional(Proof{identity.rawPublicKey(), identity.sign(message)});
    };
    const std::string phone = "/phone/" + identity.id() + "/echo?n=";
    auto agent = RelayClient::create(
        identity.id(), "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=" + identity.id(),
        links);
    agent->setEnabled(true);
    agent->setEnabled(true);  // the same value again: no second connection
    ASSERT_TRUE(eventually([&] { return ups == 1; }));
    EXPECT_EQ(opens, 1);

    // Past the 64 requests one computer may keep waiting, phones are turned away at once; the
    // waiting ones are answered last first.
    std::vector<std::future<net::HttpResponse>> answers;
    for (int n = 0; n < 200; ++n) {
        answers.push_back(fetchLater("GET", phone + std::to_string(n)));
    }
    const auto turnedAway = [&] {
        return std::ranges::count_if(answers, [](const auto& answer) {
            return answer.wait_for(0s) == std::future_status::ready;
        });
    };
    // 200 TLS handshakes: on a busy machine they take more than the usual bound.
    ASSERT_TRUE(eventually([&] { return sizeOf(held) == 64 && turnedAway() == 136; }, 60s))
        << sizeOf(held) << " held, " << turnedAway() << " turned away";
    holding = false;
    for (auto& [n, connection] : std::views::reverse(held)) {
        connection->send(server::textResponse(200, "text/plain", n));
    }
    int answered = 0;
    for (int n = 0; n < 200; ++n) {
        ASSERT_EQ(answers[n].wait_for(20s), std::future_status::ready);
        const auto answer = answers[n].get();
        answered += answer.status == 200;
        EXPECT_TRUE(answer.status == 503 || answer.body == std::to_string(n)) << n << answer.body;
    }
    EXPECT_EQ(answered, 64);

    relay.reset();
    ASSERT_TRUE(eventually([&] { return losses == 1 && sizeOf(later) == 1; }));
    EXPECT_FALSE(agent->isConnected());
    EXPECT_EQ(timePasses(), std::vector<std::chrono::milliseconds>{5s});
    ASSERT_TRUE(eventually([&] { return opens == 2 && sizeOf(later) == 1; }));  // it failed
    EXPECT_EQ(losses, 1);                                                       // said once
    startRelay({}, true, port);
    EXPECT_EQ(timePasses(), std::vector<std::chrono::milliseconds>{5s});
    ASSERT_TRUE(eventually([&] { return ups == 2 && relay->agentCount() == 1; }));
    EXPECT_EQ(fetch("GET", phone + "again").body, "again");

    agent->setEnabled(false);
    EXPECT_TRUE(proven(0));
    const int opened = opens;
    relay.reset();
    timePasses();
    mainThread.post([&] { mainThread.quit(); });  // after whatever the close left to run
    loop.join();
    EXPECT_EQ(opens, opened);
    EXPECT_EQ(sizeOf(later), 0u);
    EXPECT_EQ(losses, 1);
}

// A request the relay would stop waiting for is answered at the client's own deadline: 202 when
// its work has begun (it goes on), 503 when it has not (it never begins); what the work answers
// later is dropped, and the relay keeps the agent.
TEST_F(RelayTest, RequestsPastTheirDeadlineAreAnsweredThenAndTheirLateAnswersDropped) {
    startRelay();
    net::HttpsClient agentSide(net::TlsTrust{pki.caFile()});
    MainThread mainThread(MainThread::Context::own);
    std::thread loop([&] { mainThread.run(); });
    std::mutex mutex;
    std::map<std::string, server::ConnectionPtr> held;  // by path
    RelayLinks links;
    links.openSocket = [&](const std::string& url, net::WebSocketHandlers handlers) {
        return agentSide.openWebSocket(url, std::move(handlers));
    };
    links.replay = [&](server::ConnectionPtr connection, server::Request request) {
        if (request.path == "/now") {
            return connection->send(server::textResponse(200, "text/plain", "now"));
        }
        if (request.path == "/begun") {
            EXPECT_TRUE(connection->beginWork());
        }
        std::lock_guard lock(mutex);
        held[request.path] = std::move(connection);
    };
    links.runLater = [&](std::chrono::milliseconds delay, std::function<void()> task) {
        // Reconnecting at once: a request from before a relay's restart is still unanswered.
        mainThread.postAfter(delay == RelayClient::RECONNECT_DELAY ? 50ms : delay, std::move(task));
    };
    const RelayIdentity identity = *RelayIdentity::generate();
    links.prove = [&identity](std::string_view message) {
        return std::optional(Proof{identity.rawPublicKey(), identity.sign(message)});
    };
    auto agent = RelayClient::create(
        identity.id(),
        "wss://127.0.0.1:" + std::to_string(relay->port()) + "/mac/ws?id=" + identity.id(), links,
        2s);
    agent->setEnabled(true);
    ASSERT_TRUE(proven(1));
    const std::string phone = "/phone/" + identity.id();
    auto begun = fetchLater("GET", phone + "/begun");
    auto queued = fetchLater("GET", phone + "/queued");
    ASSERT_EQ(begun.wait_for(10s), std::future_status::ready);  // not the relay's 30 s
    const auto pending = begun.get();
    EXPECT_EQ(pending.status, 202);
    EXPECT_NE(pending.body.find("\"pending\":true"), std::string::npos);
    ASSERT_EQ(queued.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(queued.get().status, 503);
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(held.at("/queued")->beginWork());
        held.at("/begun")->send(server::textResponse(200, "text/plain", "late"));
    }
    EXPECT_EQ(fetch("GET", phone + "/now").body, "now");
    EXPECT_EQ(relay->agentCount(), 1u);

    // What a connection before the relay's restart asked is answered to nobody: the new one
    // never hears of it (its relay would take it for what nobody asked).
    auto stale = fetchLater("GET", phone + "/stale");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return held.contains("/stale");
    }));
    const std::uint16_t port = relay->port();
    relay.reset();
    startRelay({}, true, port);
    ASSERT_TRUE(proven(1));
    {
        std::lock_guard lock(mutex);
        held.at("/stale")->send(server::textResponse(200, "text/plain", "stale"));
    }
    EXPECT_EQ(fetch("GET", phone + "/now").body, "now");
    EXPECT_EQ(relay->agentCount(), 1u);
    agent->setEnabled(false);
    mainThread.post([&] { mainThread.quit(); });
    loop.join();
}

}  // namespace
}  // namespace td::relay
