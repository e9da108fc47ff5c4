#include "relay_server/relay_service.hpp"

#include <gtest/gtest.h>

#include <fstream>
#if defined(__SANITIZE_ADDRESS__)  // GCC
#define TD_UNDER_ASAN 1
#elif defined(__has_feature)  // Clang
#if __has_feature(address_sanitizer)
#define TD_UNDER_ASAN 1
#endif
#endif
#ifdef TD_UNDER_ASAN
// ASan's own, declared here: GCC ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif
#include <future>
#include <mutex>
#include <thread>

#include "common/relay_proof.hpp"
#include "net/https_client.hpp"
#include "relay/relay_identity.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/raw_websocket.hpp"
#include "support/test_tls.hpp"

namespace td::relay_server {
namespace {

using namespace std::chrono_literals;
using relay::RelayIdentity;
using relay::ReplyEnvelope;
using relay::RequestEnvelope;
using test::eventually;

RelayIdentity newIdentity() {
    return *RelayIdentity::generate();
}

// How a test agent answers the relay's challenge.
enum class Proving { honestly, never, withAnotherKey, spoilt, forAnotherHost, forAnotherChallenge };

// The proof message, or nothing when the agent gives none.
std::optional<std::string> proofFor(const RelayIdentity& identity,
                                    const relay::Challenge& challenge, const std::string& host,
                                    Proving how) {
    if (how == Proving::never) {
        return std::nullopt;
    }
    const RelayIdentity& signer = how == Proving::withAnotherKey ? newIdentity() : identity;
    const std::string message = relay::proofMessage(
        how == Proving::forAnotherHost ? "relay.example:443" : host, identity.id(),
        how == Proving::forAnotherChallenge ? challenge.challenge + "x" : challenge.challenge);
    std::string signature = signer.sign(message);
    if (how == Proving::spoilt) {
        signature[0] = static_cast<char>(signature[0] ^ 1);
    }
    return relay::writeProof({signer.rawPublicKey(), signature});
}

// An agent of the test's own on the relay's TLS socket: it proves its identifier as told, then
// answers each request with the text `respond` gives, or not at all when that gives nothing.
class FakeAgent {
  public:
    using Respond = std::function<std::optional<std::string>(const RequestEnvelope&)>;

    FakeAgent(net::HttpsClient& client, std::uint16_t port, RelayIdentity identity, Respond respond,
              Proving how = Proving::honestly)
        : identity_(std::move(identity)), respond_(std::move(respond)), how_(how) {
        net::WebSocketHandlers handlers;
        handlers.onEnd = [this](const std::string& why) {
            std::lock_guard lock(mutex_);
            endedWhy_ = why;
        };
        handlers.onText = [this](std::string text) { onText(text); };
        handlers.maxMessageBytes = 64 * 1024 * 1024;
        std::lock_guard lock(mutex_);
        socket_ = client.openWebSocket(
            "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=" + identity_.id(), handlers);
    }
    ~FakeAgent() { close(); }
    void close() { socket_->close(); }

    const std::string& id() const { return identity_.id(); }
    // Why the relay ended the socket ("" while it is open).
    std::string endedWhy() const {
        std::lock_guard lock(mutex_);
        return endedWhy_;
    }
    std::vector<RequestEnvelope> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::string phoneUrl() const {
        std::lock_guard lock(mutex_);
        return phoneUrl_;
    }

  private:
    void onText(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (!challenged_) {
            challenged_ = true;
            const auto challenge = relay::readChallenge(text);
            ASSERT_TRUE(challenge) << text;
            phoneUrl_ = challenge->phoneUrl;
            if (auto proof = proofFor(identity_, *challenge, socket_->host(), how_)) {
                socket_->sendText(*proof);
            }
            return;
        }
        auto envelope = relay::readRequestEnvelope(text);
        ASSERT_TRUE(envelope) << text;
        seen_.push_back(*envelope);
        if (auto reply = respond_(*envelope)) {
            socket_->sendText(*reply);
        }
    }

    const RelayIdentity identity_;
    const Respond respond_;
    const Proving how_;
    mutable std::mutex mutex_;
    std::shared_ptr<net::WebSocket> socket_;
    bool challenged_ = false;
    std::string phoneUrl_;
    std::string endedWhy_;
    std::vector<RequestEnvelope> seen_;
};

FakeAgent::Respond replying(int status, std::string contentType, std::string body) {
    return [=](const RequestEnvelope& request) {
        return relay::writeReplyEnvelope({request.reqId, status, contentType, body});
    };
}

const FakeAgent::Respond SILENT = [](const RequestEnvelope&) { return std::nullopt; };

// An agent on the relay's plain socket that writes WebSocket frames by hand: fragments it
// never finishes, and it reads nothing it is not asked to.
class RawAgent : public test::RawWebSocket {
  public:
    RawAgent(std::uint16_t port, const RelayIdentity& identity, const char* from = "127.0.0.1")
        : RawWebSocket(port, "/mac/ws?id=" + identity.id(), "", from) {
        if (const auto challenge = upgraded() ? relay::readChallenge(readFrame()) : std::nullopt) {
            send(*proofFor(identity, *challenge, "127.0.0.1:" + std::to_string(port),
                           Proving::honestly));
        }
    }
};

// What the process holds: its resident memory, or under ASan (whose quarantine keeps freed
// blocks resident on purpose) the bytes still allocated.
std::size_t heldKib() {
#ifdef TD_UNDER_ASAN
    return __sanitizer_get_current_allocated_bytes() / 1024;
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::stoul(line.substr(6));
        }
    }
    return 0;
#endif
}

class RelayServiceTest : public ::testing::Test {
  protected:
    void startRelay(RelayOptions options = {}, bool tls = true) {
        options.address = "127.0.0.1";
        options.port = 0;
        options.metricsPort = 0;
        if (tls) {
            options.certFile = pki.certFile();
            options.keyFile = pki.keyFile();
        }
        relay = std::make_unique<RelayService>(options);
    }

    std::future<net::HttpResponse> fetchLater(
        const std::string& method, const std::string& path, std::string body = {},
        std::vector<std::pair<std::string, std::string>> headers = {}) {
        auto answer = std::make_shared<std::promise<net::HttpResponse>>();
        net::HttpRequest request;
        request.method = method;
        request.url = "https://127.0.0.1:" + std::to_string(relay->port()) + path;
        request.headers = std::move(headers);
        request.body = std::move(body);
        client.send(request, [answer](net::HttpResponse r) { answer->set_value(std::move(r)); });
        return answer->get_future();
    }

    net::HttpResponse fetch(const std::string& method, const std::string& path,
                            std::string body = {},
                            std::vector<std::pair<std::string, std::string>> headers = {}) {
        auto future = fetchLater(method, path, std::move(body), std::move(headers));
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    }

    // A plain request to the relay's port, answered whole.
    std::string plain(const std::string& request, const char* from = "127.0.0.1") {
        auto phone = test::LoopbackClient::from(from, relay->port());
        phone.send(request);
        return phone.readAll(10s);
    }

    std::string metrics() {
        return test::bodyOf(test::exchange(*relay->metricsPort(), "GET /metrics HTTP/1.1\r\n\r\n"));
    }

    bool proven(std::size_t agents) {
        return eventually([&] { return relay->agentCount() == agents; }, 10s);
    }

    test::TestPki pki;
    net::HttpsClient client{net::TlsTrust{pki.caFile()}};
    std::unique_ptr<RelayService> relay;
};

TEST(RelayRoutes, TellAgentsPhonesAndEverythingElseApart) {
    struct Row {
        const char* target;
        const char* host;
        const char* domain;
        Route::Kind kind;
        const char* id;
        const char* rest;
    };
    const std::string longId(129, 'a');
    const std::vector<Row> rows = {
        {"/healthz", "r", "", Route::Kind::health, "", ""},
        {"/mac/ws?id=AB-12", "r", "", Route::Kind::agentSocket, "AB-12", ""},
        {"/mac/ws?x=1&id=AB", "r", "", Route::Kind::agentSocket, "AB", ""},
        {"/mac/ws?id=a_b", "r", "", Route::Kind::badAgentId, "", ""},
        {"/mac/ws", "r", "", Route::Kind::badAgentId, "", ""},
        {"/phone/AB", "r", "", Route::Kind::phoneRedirect, "AB", "/phone/AB/"},
        {"/phone/AB?pair=1", "r", "", Route::Kind::phoneRedirect, "AB", "/phone/AB/?pair=1"},
        {"/phone/AB/", "r", "", Route::Kind::phone, "AB", "/"},
        {"/phone/AB/api/config?x=/y", "r", "", Route::Kind::phone, "AB", "/api/config?x=/y"},
        {"/phone//api", "r", "", Route::Kind::notFound, "", ""},
        {"/phone/a.b/", "r", "", Route::Kind::notFound, "", ""},
        {"/phoneAB/", "r", "", Route::Kind::notFound, "", ""},
        {"/", "r", "", Route::Kind::notFound, "", ""},
        // One origin per computer: the host names the agent, the path is the agent's own.
        {"/api/x?y=1", "ab2.Relay.Test:8443", "relay.test:8443", Route::Kind::phone, "ab2",
         "/api/x?y=1"},
        {"/healthz", "ab2.relay.test:8443", "relay.test:8443", Route::Kind::phone, "ab2",
         "/healthz"},
        {"/", "a.b.relay.test:8443", "relay.test:8443", Route::Kind::notFound, "", ""},
        {"/", "relay.test:8443", "relay.test:8443", Route::Kind::notFound, "", ""},
        {"/healthz", "relay.test:8443", "relay.test:8443", Route::Kind::health, "", ""},
        {"/phone/ab2/api?x", "relay.test:8443", "relay.test:8443", Route::Kind::phoneRedirect,
         "ab2", "https://ab2.relay.test:8443/api?x"},
        {"/phone/ab2?pair=1", "relay.test:8443", "relay.test:8443", Route::Kind::phoneRedirect,
         "ab2", "https://ab2.relay.test:8443/?pair=1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.host) + row.target);
        const Route route = routeFor(row.target, row.host, row.domain);
        EXPECT_EQ(route.kind, row.kind);
        EXPECT_EQ(route.id, row.id);
        EXPECT_EQ(route.rest, row.rest);
    }
    EXPECT_EQ(routeFor("/phone/" + longId + "/", "r", "").kind, Route::Kind::notFound);
    EXPECT_EQ(routeFor("/phone/" + longId.substr(1) + "/", "r", "").kind, Route::Kind::phone);
}

TEST_F(RelayServiceTest, CarriesPhoneRequestsToTheirAgentAndBack) {
    RelayOptions options;
    options.maxBody = 1000;
    startRelay(options);
    EXPECT_EQ(fetch("GET", "/healthz").body, "ok");
    EXPECT_EQ(fetch("GET", "/other").status, 404);
    EXPECT_EQ(fetch("GET", "/phone/A1").status, 301);
    EXPECT_EQ(fetch("GET", "/phone/A1/api/config").status, 502);  // no agent yet

    const std::string png("\x89PNG\0\xff", 6);
    FakeAgent agent(client, relay->port(), newIdentity(), replying(201, "image/png", png));
    ASSERT_TRUE(proven(1));
    EXPECT_EQ(agent.phoneUrl(),
              "https://127.0.0.1:" + std::to_string(relay->port()) + "/phone/" + agent.id() + "/");

    const std::string prefix = "/phone/" + agent.id();
    const auto answer =
        fetch("POST", prefix + "/api/pair?x=1", R"({"pin":"1"})",
              {{"X-TD-Token", "t"}, {"Connection", "close, X-Private"}, {"X-Private", "hop"}});
    EXPECT_EQ(answer.status, 201);
    EXPECT_EQ(answer.contentType, "image/png");
    EXPECT_EQ(answer.body, png);
    ASSERT_EQ(agent.seen().size(), 1u);
    const RequestEnvelope sent = agent.seen()[0];
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.path, "/api/pair?x=1");
    EXPECT_EQ(sent.body, R"({"pin":"1"})");
    std::map<std::string, std::string> headers(sent.headers.begin(), sent.headers.end());
    EXPECT_EQ(headers["X-TD-Token"], "t");
    EXPECT_EQ(headers.count("Host"), 1u);
    for (const char* hop : {"Connection", "X-Private", "Content-Length"}) {
        EXPECT_EQ(headers.count(hop), 0u) << hop;
    }

    EXPECT_EQ(fetch("POST", prefix + "/api/type", "\xff\xfe").status, 400);
    EXPECT_EQ(fetch("POST", prefix + "/api/type", std::string(1001, 'a')).status, 413);
    EXPECT_EQ(agent.seen().size(), 1u);  // neither reached the agent

    const std::string counted = metrics();
    EXPECT_NE(counted.find("\ntapdeck_relay_agents 1\n"), std::string::npos) << counted;
    EXPECT_NE(counted.find("tapdeck_relay_phone_requests_total{code=\"201\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(counted.find(agent.id()), std::string::npos);  // no label names an agent
}

TEST_F(RelayServiceTest, BoundsHowLongAndHowManyRequestsWaitOnOneAgent) {
    RelayOptions options;
    options.replyTimeout = 1s;
    startRelay(options);
    FakeAgent silent(client, relay->port(), newIdentity(), SILENT);
    ASSERT_TRUE(proven(1));
    std::vector<std::future<net::HttpResponse>> waiting;
    for (int i = 0; i < 65; ++i) {
        waiting.push_back(fetchLater("GET", "/phone/" + silent.id() + "/api/config"));
    }
    std::map<int, int> statuses;
    for (auto& answer : waiting) {
        ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
        ++statuses[answer.get().status];
    }
    EXPECT_EQ(statuses, (std::map<int, int>{{503, 1}, {504, 64}}));
    EXPECT_EQ(fetch("GET", "/phone/" + silent.id() + "/api/config").status, 504);
}

// Only the holder of the key an identifier names can take its phones' requests, and only a
// proven agent replaces another.
TEST_F(RelayServiceTest, AnIdentifierIsTakenOnlyWithAProofOfItsKey) {
    RelayOptions options;
    options.proofTimeout = 2s;  // an honest proof under load takes far less; "never" takes this
    startRelay(options);
    const RelayIdentity victim = newIdentity();
    auto first = std::make_unique<FakeAgent>(client, relay->port(), victim,
                                             replying(200, "text/plain", "first"));
    ASSERT_TRUE(proven(1));
    const std::string victimPage = "/phone/" + victim.id() + "/x";
    for (Proving how : {Proving::never, Proving::withAnotherKey, Proving::spoilt,
                        Proving::forAnotherHost, Proving::forAnotherChallenge}) {
        SCOPED_TRACE(static_cast<int>(how));
        FakeAgent hijacker(client, relay->port(), victim, replying(200, "text/plain", "stolen"),
                           how);
        EXPECT_EQ(fetch("GET", victimPage).body, "first");
        EXPECT_TRUE(eventually([&] { return !hijacker.endedWhy().empty(); }, 5s));
        EXPECT_EQ(hijacker.endedWhy(), "closed by the peer (1008)");
        EXPECT_TRUE(hijacker.seen().empty());
    }
    EXPECT_EQ(fetch("GET", victimPage).body, "first");
    // A relay that knows its own names refuses an agent that reached it by another: a relay in
    // the middle cannot pass on a proof it had an agent make for its own name.
    RelayOptions named;
    named.address = "127.0.0.1";
    named.port = 0;
    named.certFile = pki.certFile();
    named.keyFile = pki.keyFile();
    named.names = {"relay.example"};
    RelayService elsewhere(named);
    FakeAgent misdirected(client, elsewhere.port(), victim, SILENT);
    EXPECT_TRUE(eventually([&] { return !misdirected.endedWhy().empty(); }, 5s));
    EXPECT_EQ(elsewhere.agentCount(), 0u);

    // The owner coming back (the same key, a new socket) replaces its older socket.
    FakeAgent again(client, relay->port(), victim, replying(200, "text/plain", "again"));
    EXPECT_TRUE(eventually([&] { return !first->endedWhy().empty(); }));
    EXPECT_EQ(fetch("GET", victimPage).body, "again");
    first.reset();
    EXPECT_EQ(relay->agentCount(), 1u);
    const std::string counted = metrics();
    for (const char* line : {"proofs_total{result=\"ok\"} 2\n", "proofs_total{result=\"bad\"} 4\n",
                             "proofs_total{result=\"timeout\"} 1\n"}) {
        EXPECT_NE(counted.find(line), std::string::npos) << line << counted;
    }
}

// What an agent answers reaches a phone only when a phone can use it; anything else is a 502 at
// once, and the relay goes on serving everyone else.
TEST_F(RelayServiceTest, RepliesNoPhoneCanUseAreA502AndTheRelayGoesOn) {
    startRelay();
    std::string wideHeaders = R"({"reqId":"ID","status":200,"headers":{"h0":"")";
    for (int i = 1; i < 100'000; ++i) {
        wideHeaders += ",\"h" + std::to_string(i) + "\":\"\"";
    }
    wideHeaders += "}}";
    const std::vector<std::pair<std::string, std::string>> replies = {
        {"204 with a body", relay::writeReplyEnvelope({"ID", 204, "text/plain", "x"})},
        {"304 with a body", relay::writeReplyEnvelope({"ID", 304, "text/plain", "x"})},
        {"a 1xx status", relay::writeReplyEnvelope({"ID", 101, "text/plain", ""})},
        {"a 65 KB Content-Type",
         relay::writeReplyEnvelope({"ID", 200, std::string(65'000, 'a'), "x"})},
        {"100,000 header members", wideHeaders},
        {"more than a reply may be", std::string(relay::MAX_REPLY_ENVELOPE_BYTES + 1, ' ')},
    };
    for (const auto& [what, text] : replies) {
        SCOPED_TRACE(what);
        FakeAgent hostile(
            client, relay->port(), newIdentity(), [&text](const RequestEnvelope& request) {
                std::string reply = text;
                const std::size_t at = reply.find("\"ID\"");
                return at == std::string::npos ? reply
                                               : reply.replace(at, 4, "\"" + request.reqId + "\"");
            });
        ASSERT_TRUE(proven(1));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fetch("GET", "/phone/" + hostile.id() + "/").status, 502);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(fetch("GET", "/healthz").body, "ok");
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);  // a stalled relay took 10 s
        hostile.close();
        ASSERT_TRUE(proven(0));
    }
}

// An agent that stops reading, or sends a message it never finishes, holds a bounded share of
// the relay's memory and no socket for longer than the idle time.
TEST_F(RelayServiceTest, AgentsThatStopReadingOrTrickleAreClosedWithTheirMemory) {
    startRelay({}, /*tls=*/false);
    const RelayIdentity silent = newIdentity();
    RawAgent reader(relay->port(), silent);  // never reads a request
    ASSERT_TRUE(reader.upgraded());
    ASSERT_TRUE(proven(1));
    const std::size_t before = heldKib();
    const std::string body(400'000, 'b');
    std::vector<test::LoopbackClient> phones;
    for (int i = 0; i < 64; ++i) {  // from eight addresses: each may hold an eighth of the bodies
        const std::string from = "127.0.0." + std::to_string(2 + i % 8);
        phones.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        phones.back().send("POST /phone/" + silent.id() +
                           "/x HTTP/1.1\r\nHost: r\r\n"
                           "Connection: close\r\n"
                           "Content-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    std::map<std::string, int> answers;
    for (auto& phone : phones) {
        ++answers[phone.readAll(10s).substr(0, 12)];
    }
    // Past 8 MiB queued the agent is closed, and its phones hear it at once.
    EXPECT_GE(answers["HTTP/1.1 502"], 20) << testing::PrintToString(answers);
    EXPECT_TRUE(reader.closedByPeer(5s));
    EXPECT_LT(heldKib(), before + 40 * 1024);

    // Before its proof a socket takes no message larger than a proof.
    test::RawWebSocket stranger(relay->port(), "/mac/ws?id=" + newIdentity().id());
    ASSERT_TRUE(stranger.upgraded());
    stranger.readFrame();
    stranger.send(std::string(4000, ' '));
    EXPECT_TRUE(stranger.closedByPeer(7s));

    RelayOptions quick;
    quick.agentIdleTimeout = 1s;
    startRelay(quick, /*tls=*/false);
    RawAgent trickler(relay->port(), newIdentity());
    ASSERT_TRUE(proven(1));
    const auto started = std::chrono::steady_clock::now();
    trickler.send("{", /*final=*/false);
    for (int i = 0; i < 30 && std::chrono::steady_clock::now() - started < 3s; ++i) {
        trickler.send(" ", false, /*continuation=*/true);
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(trickler.closedByPeer(3s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_TRUE(proven(0));
}

// One address holds only so many agents and phone connections; behind a trusted proxy the
// address is the one it forwards.
TEST_F(RelayServiceTest, EachAddressHoldsBoundedAgentsAndPhones) {
    RelayOptions options;
    options.maxAgentsPerAddress = 2;
    options.maxPhonesPerAddress = 3;
    options.trustedProxies = {"127.0.0.9"};
    options.bodyBudget = 8000;  // an address may hold 1,000 bytes of bodies
    options.maxConnections = 24;
    startRelay(options, /*tls=*/false);
    RawAgent one(relay->port(), newIdentity()), two(relay->port(), newIdentity());
    ASSERT_TRUE(one.upgraded() && two.upgraded());
    EXPECT_FALSE(RawAgent(relay->port(), newIdentity()).upgraded());
    EXPECT_TRUE(RawAgent(relay->port(), newIdentity(), "127.0.0.3").upgraded());

    const std::string health = "GET /healthz HTTP/1.1\r\nHost: r\r\n\r\n";
    std::vector<test::LoopbackClient> kept;
    std::vector<std::string> first;
    for (int i = 0; i < 4; ++i) {
        kept.push_back(test::LoopbackClient::from("127.0.0.4", relay->port()));
        kept.back().send(health);
        first.push_back(kept.back().readExactly(15, 5s));
    }
    EXPECT_EQ(first, (std::vector<std::string>{"HTTP/1.1 200 OK", "HTTP/1.1 200 OK",
                                               "HTTP/1.1 200 OK", "HTTP/1.1 503 Se"}));
    const std::string proxied =
        "GET /healthz HTTP/1.1\r\nHost: r\r\nConnection: close\r\nX-Forwarded-For: ";
    EXPECT_TRUE(plain(proxied + "127.0.0.4\r\n\r\n", "127.0.0.9").starts_with("HTTP/1.1 503"));
    EXPECT_TRUE(
        plain(proxied + "1.2.3.4, 127.0.0.5\r\n\r\n", "127.0.0.9").starts_with("HTTP/1.1 200"));
    // From a proxy no one trusts, the header is the client's own word: not believed.
    EXPECT_TRUE(plain(proxied + "127.0.0.5\r\n\r\n", "127.0.0.4").starts_with("HTTP/1.1 503"));

    // Bodies promised and never sent: an address holds its share of the budget, and such
    // connections make room for newer ones like idle ones do.
    const std::string promise =
        "POST /phone/x/y HTTP/1.1\r\nHost: r\r\nContent-Length: 600\r\n\r\n";
    std::vector<test::LoopbackClient> slow;
    for (int i = 0; i < 24; ++i) {
        const std::string from = "127.0.1." + std::to_string(i / 2 + 1);
        slow.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        slow.back().send(promise);
    }
    EXPECT_TRUE(slow[1].readAll(2s).starts_with("HTTP/1.1 503"));  // past its address's share
    EXPECT_TRUE(plain("GET /healthz HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n", "127.0.2.1")
                    .starts_with("HTTP/1.1 200"));
}

// Past the connection cap the longest-idle connection makes room, under TLS too, and every
// phone's answer is its own: no OpenSSL call touches a descriptor closed meanwhile.
TEST_F(RelayServiceTest, IdleConnectionsMakeRoomForNewOnesUnderLoad) {
    RelayOptions options;
    options.maxConnections = 40;
    startRelay(options);
    FakeAgent echo(client, relay->port(), newIdentity(), [](const RequestEnvelope& request) {
        return relay::writeReplyEnvelope({request.reqId, 200, "text/plain", request.path});
    });
    ASSERT_TRUE(proven(1));
    std::vector<test::LoopbackClient> idle;
    std::vector<std::future<net::HttpResponse>> answers;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(test::LoopbackClient::from("127.0.0.6", relay->port()));
        if (i % 4 == 0) {
            answers.push_back(fetchLater("GET", "/phone/" + echo.id() + "/n" + std::to_string(i)));
        }
    }
    for (std::size_t i = 0; i < answers.size(); ++i) {
        ASSERT_EQ(answers[i].wait_for(20s), std::future_status::ready);
        const auto answer = answers[i].get();
        EXPECT_TRUE(answer.status != 200 || answer.body == "/n" + std::to_string(4 * i))
            << answer.body;
    }
    idle.clear();
    EXPECT_EQ(fetch("GET", "/phone/" + echo.id() + "/last").body, "/last");
    EXPECT_TRUE(echo.endedWhy().empty());
}

}  // namespace
}  // namespace td::relay_server
