// Agents for the relay's benchmarks, run by bench/relay_agents.sh and bench/relay_throughput.sh
// until SIGINT or SIGTERM:
//
//   relay_agents_bench CA_FILE PORT COUNT      COUNT agents, each with a key of its own
//   relay_agents_bench CA_FILE PORT hostile    one agent that sends the worst it can, again
//   relay_agents_bench CA_FILE PORT COUNT TLS_FOLDER IDS_FILE
//                                              COUNT agents that take phones' streams through a
//                                              relay passing TLS unread, with the certificate in
//                                              TLS_FOLDER, holding every connection's plain end;
//                                              their identifiers go to IDS_FILE, one a line
//
// The agents are the agent's own relay client: each proves its identifier with its key, answers
// every request "ok", and reconnects 5 s after losing its socket, as a real agent does.
//
// The hostile agent proves its identifier, then sends one message of the largest size the relay
// reads made of a reply with 100,000-odd header members, and connects again as soon as it is
// closed; stopped, it prints how often it sent it.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/main_thread.hpp"
#include "net/https_client.hpp"
#include "relay/relay_client.hpp"
#include "relay/relay_identity.hpp"
#include "relay/stream_certificate.hpp"

namespace {

using td::relay::RelayIdentity;

// Sockets being opened at once: agents coming back after a relay restart arrive over some
// moments, not all in one.
constexpr int OPENING_AT_ONCE = 64;
// Opening them all takes a few seconds here; past this bound the rest are not opened.
constexpr auto OPEN_BOUND = std::chrono::seconds(300);

struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
};

td::relay::RelayLinks agentLinks(td::net::HttpsClient& client, td::MainThread& loop,
                                 const RelayIdentity& identity, Tally& tally) {
    td::relay::RelayLinks links;
    links.openSocket = [&client](const std::string& url, td::net::WebSocketHandlers handlers) {
        return client.openWebSocket(url, std::move(handlers));
    };
    links.replay = [](td::server::ConnectionPtr connection, td::server::Request) {
        connection->send(td::server::textResponse(200, "text/plain", "ok"));
    };
    links.runLater = [&loop](std::chrono::milliseconds delay, std::function<void()> task) {
        loop.postAfter(delay, std::move(task));
    };
    links.connectionChanged = [&tally](bool up) {
        std::lock_guard lock(tally.mutex);
        tally.opened += up ? 1 : -1;
        tally.changed.notify_all();
    };
    links.prove = [identity](std::string_view message) {
        return std::optional(td::relay::Proof{identity.rawPublicKey(), identity.sign(message)});
    };
    return links;
}

// The plain ends of streams, held until the end.
struct HeldConnections {
    std::mutex mutex;
    std::vector<int> fds;
};

void takeStreams(td::relay::RelayLinks& links, td::relay::StreamCertificate& certificate,
                 HeldConnections& held) {
    links.streamTls = [&certificate] { return certificate.context(); };
    links.adoptConnection = [&held](int fd, std::string) {
        std::lock_guard lock(held.mutex);
        held.fds.push_back(fd);
    };
}

// A reply too wide to read, as large as the relay reads at all.
std::string widestReply() {
    std::string text = R"({"reqId":"1","status":200,"headers":{"h0":"")";
    for (int i = 1; text.size() + 32 < td::relay::MAX_REPLY_ENVELOPE_BYTES; ++i) {
        text += ",\"h" + std::to_string(i) + "\":\"\"";
    }
    return text + "}}";
}

// Connects, proves, sends the worst it has, and again once the relay closes it.
struct Hostile : std::enable_shared_from_this<Hostile> {
    Hostile(td::net::HttpsClient& client, std::string url)
        : client(client), url(std::move(url)), identity(*RelayIdentity::generate()) {}

    void connect() {
        td::net::WebSocketHandlers handlers;
        std::weak_ptr<Hostile> weak = weak_from_this();
        handlers.onText = [weak](std::string text) {
            auto self = weak.lock();
            const auto challenge = td::relay::readChallenge(text);
            if (!self || !challenge) {
                return;
            }
            const std::string message = td::relay::proofMessage(
                self->socket->host(), self->identity.id(), challenge->challenge);
            self->socket->sendText(td::relay::writeProof(
                {self->identity.rawPublicKey(), self->identity.sign(message)}));
            self->socket->sendText(self->worst);
            ++self->sent;
        };
        handlers.onEnd = [weak](const std::string&) {
            if (auto self = weak.lock(); self && !self->stopped) {
                self->connect();
            }
        };
        socket = client.openWebSocket(url + identity.id(), handlers);
    }

    td::net::HttpsClient& client;
    const std::string url;
    const RelayIdentity identity;
    const std::string worst = widestReply();
    std::shared_ptr<td::net::WebSocket> socket;  // on the client's thread only
    std::atomic<int> sent{0};
    std::atomic<bool> stopped{false};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: %s CA_FILE PORT COUNT|hostile [TLS_FOLDER IDS_FILE]\n",
                     argv[0]);
        return 2;
    }
    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int received = 0;

    td::net::HttpsClient client(td::net::TlsTrust{argv[1]});
    const std::string url = "wss://127.0.0.1:" + std::string(argv[2]) + "/mac/ws?id=";
    if (std::string(argv[3]) == "hostile") {
        auto agent = std::make_shared<Hostile>(client, url);
        agent->connect();
        sigwait(&stopSignals, &received);
        agent->stopped = true;
        client.stop();
        std::printf("sent the worst %d times\n", agent->sent.load());
        return 0;
    }

    const int count = std::stoi(argv[3]);
    td::MainThread loop(td::MainThread::Context::own);
    std::thread looping([&loop] { loop.run(); });
    Tally tally;
    std::optional<td::relay::StreamCertificate> certificate;
    if (argc == 6) {
        certificate.emplace(argv[4]);
    }
    HeldConnections held;
    std::vector<std::string> ids;
    std::vector<std::shared_ptr<td::relay::RelayClient>> agents;
    const auto deadline = std::chrono::steady_clock::now() + OPEN_BOUND;
    for (int k = 0; k < count; ++k) {
        {
            std::unique_lock lock(tally.mutex);
            if (!tally.changed.wait_until(lock, deadline,
                                          [&] { return k - tally.opened < OPENING_AT_ONCE; })) {
                break;
            }
        }
        const RelayIdentity identity = *RelayIdentity::generate();
        auto links = agentLinks(client, loop, identity, tally);
        if (certificate) {
            takeStreams(links, *certificate, held);
        }
        ids.push_back(identity.id());
        agents.push_back(
            td::relay::RelayClient::create(identity.id(), url + identity.id(), std::move(links)));
        agents.back()->setEnabled(true);
    }
    if (argc == 6) {
        std::FILE* out = std::fopen(argv[5], "w");
        for (const auto& id : ids) {
            std::fprintf(out, "%s\n", id.c_str());
        }
        std::fclose(out);
    }
    sigwait(&stopSignals, &received);
    for (const auto& agent : agents) {
        agent->setEnabled(false);
    }
    client.stop();
    loop.quit();
    looping.join();
    for (const int fd : held.fds) {
        ::close(fd);
    }
    return 0;
}
