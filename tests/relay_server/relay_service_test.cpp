#include "relay_server/relay_service.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <mutex>

#include "common/relay_proof.hpp"
#include "relay/relay_identity.hpp"
#include "relay_server/relay_harness.hpp"
#include "support/loopback_client.hpp"
#include "support/raw_websocket.hpp"

// ASan's own, there only under it (GCC ships no header for it).
extern "C" [[gnu::weak]] std::size_t __sanitizer_get_current_allocated_bytes();

namespace td::relay_server {
namespace {

using namespace std::chrono_literals;
using relay::RelayIdentity;
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
    struct State {
        std::string phoneUrl;  // the relay's challenge names it
        std::string endedWhy;  // "" while the socket is open
        std::vector<RequestEnvelope> seen;
    };

    FakeAgent(net::HttpsClient& client, std::uint16_t port, RelayIdentity identity, Respond respond,
              Proving how = Proving::honestly)
        : identity_(std::move(identity)), respond_(std::move(respond)), how_(how) {
        net::WebSocketHandlers handlers;
        handlers.onEnd = [this](const std::string& why) {
            std::lock_guard lock(mutex_);
            state_.endedWhy = why;
        };
        handlers.onText = [this](std::string text) { onText(text); };
        handlers.maxMessageBytes = 64 * 1024 * 1024;
        std::lock_guard lock(mutex_);  // the challenge may come before `socket_` is set
        socket_ = client.openWebSocket(
            "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=" + identity_.id(), handlers);
    }
    ~FakeAgent() { close(); }
    void close() { socket_->close(); }

    const std::string& id() const { return identity_.id(); }
    State state() const {
        std::lock_guard lock(mutex_);
        return state_;
    }
    bool ends() const {
        return eventually([this] { return !state().endedWhy.empty(); }, 5s);
    }

  private:
    void onText(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (!challenged_) {
            challenged_ = true;
            const auto challenge = relay::readChallenge(text);
            ASSERT_TRUE(challenge) << text;
            state_.phoneUrl = challenge->phoneUrl;
            if (auto proof = proofFor(identity_, *challenge, socket_->host(), how_)) {
                socket_->sendText(*proof);
            }
            return;
        }
        auto envelope = relay::readRequestEnvelope(text);
        ASSERT_TRUE(envelope) << text;
        state_.seen.push_back(*envelope);
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
    State state_;
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

// The bytes the process holds allocated: what it frees leaves at once, even under ASan (whose
// quarantine keeps freed blocks resident on purpose).
std::size_t heldBytes() {
    if (__sanitizer_get_current_allocated_bytes) {
        return __sanitizer_get_current_allocated_bytes();
    }
    const auto info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

class RelayServiceTest : public test::RelayHarness {
  protected:
    // A plain request to the relay's port, answered whole.
    std::string plain(const std::string& request, const char* from = "127.0.0.1") {
        auto phone = test::LoopbackClient::from(from, relay->port());
        phone.send(request);
        return phone.readAll(10s);
    }

    std::string metrics() {
        return test::bodyOf(test::exchange(*relay->metricsPort(), "GET /metrics HTTP/1.1\r\n\r\n"));
    }
};

TEST(RelayRoutes, TellAgentsPhonesAndEverythingElseApart) {
    using enum Route::Kind;
    const std::string longId(128, 'a');  // the longest an identifier may be
    const std::vector<
        std::tuple<std::string, std::string, std::string, Route::Kind, std::string, std::string>>
        rows = {
            // target, Host, phone domain, and the route: kind, identifier, what follows
            {"/healthz", "r", "", health, "", ""},
            {"/mac/ws?id=AB-12", "r", "", agentSocket, "AB-12", ""},
            {"/mac/ws?x=1&id=AB", "r", "", agentSocket, "AB", ""},
            {"/mac/ws?id=a_b", "r", "", badAgentId, "", ""},
            {"/mac/ws", "r", "", badAgentId, "", ""},
            {"/phone/AB", "r", "", phoneRedirect, "AB", "/phone/AB/"},
            {"/phone/AB?pair=1", "r", "", phoneRedirect, "AB", "/phone/AB/?pair=1"},
            {"/phone/AB/", "r", "", phone, "AB", "/"},
            {"/phone/AB/api/config?x=/y", "r", "", phone, "AB", "/api/config?x=/y"},
            {"/phone/" + longId + "/", "r", "", phone, longId, "/"},
            {"/phone/a" + longId + "/", "r", "", notFound, "", ""},
            {"/phone//api", "r", "", notFound, "", ""},
            {"/phone/a.b/", "r", "", notFound, "", ""},
            {"/phoneAB/", "r", "", notFound, "", ""},
            {"/", "r", "", notFound, "", ""},
            // One origin per computer: the host names the agent, the path is the agent's own.
            {"/api/x?y=1", "ab2.Relay.Test:8443", "relay.test:8443", phone, "ab2", "/api/x?y=1"},
            {"/healthz", "ab2.relay.test:8443", "relay.test:8443", phone, "ab2", "/healthz"},
            // The port phones use may be named or not; another is not theirs.
            {"/x", "ab2.relay.test:443", "relay.test", phone, "ab2", "/x"},
            {"/x", "ab2.relay.test", "relay.test:8443", phone, "ab2", "/x"},
            {"/x", "ab2.relay.test:8443", "relay.test", notFound, "", ""},
            {"/", "a.b.relay.test:8443", "relay.test:8443", notFound, "", ""},
            {"/", "relay.test:8443", "relay.test:8443", notFound, "", ""},
            {"/healthz", "relay.test:8443", "relay.test:8443", health, "", ""},
            {"/phone/ab2/api?x", "relay.test:8443", "relay.test:8443", phoneRedirect, "ab2",
             "https://ab2.relay.test:8443/api?x"},
            {"/phone/ab2?pair=1", "relay.test:8443", "relay.test:8443", phoneRedirect, "ab2",
             "https://ab2.relay.test:8443/?pair=1"},
        };
    for (const auto& [target, host, domain, kind, id, rest] : rows) {
        const Route route = routeFor(target, host, domain);
        EXPECT_EQ(std::tie(route.kind, route.id, route.rest), std::tie(kind, id, rest))
            << host << target;
    }
}

// Past the cap the connection that has waited longest makes room, a phone's waiting for a
// request or an agent's for its proof: new connections never push out an agent proving itself.
TEST(ConnectionBook, TheConnectionWaitingLongestMakesRoom) {
    struct Waiting : IdleConnection {
        explicit Waiting(ConnectionBook& book) : book(book) {}
        void evict() override {
            evicted = true;
            book.leave(ConnectionBook::Kind::other);
        }
        ConnectionBook& book;
        bool evicted = false;
    };
    ConnectionBook book(8);  // six for anything but proven agents
    std::vector<std::shared_ptr<Waiting>> idle;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(book.admit());
        idle.push_back(std::make_shared<Waiting>(book));
        book.waiting(idle.back());
    }
    ASSERT_TRUE(book.admit());
    const auto proving = std::make_shared<Waiting>(book);
    book.waitingForProof(proving);
    EXPECT_TRUE(book.admit());
    EXPECT_TRUE(idle[0]->evicted);
    EXPECT_FALSE(proving->evicted);
}

// What a phone sends reaches its agent without the hop-by-hop fields, and the answer comes back
// whole; requests no agent should see, or that wait too long or too many, are answered here.
TEST_F(RelayServiceTest, CarriesPhoneRequestsToTheirAgentAndBack) {
    RelayOptions options;
    options.maxBody = 1000;
    options.replyTimeout = 1s;
    startRelay(options);
    EXPECT_EQ(fetch("GET", "/other").status, 404);
    EXPECT_EQ(fetch("GET", "/phone/A1/api/config").status, 502);  // no agent yet

    const std::string png("\x89PNG\0\xff", 6);
    FakeAgent agent(client, relay->port(), newIdentity(), replying(201, "image/png", png));
    ASSERT_TRUE(proven(1));
    const std::string prefix = "/phone/" + agent.id();
    EXPECT_EQ(agent.state().phoneUrl,
              "https://127.0.0.1:" + std::to_string(relay->port()) + prefix + "/");

    const auto answer =
        fetch("POST", prefix + "/api/pair?x=1", R"({"pin":"1"})",
              {{"X-TD-Token", "t"}, {"Connection", "close, X-Private"}, {"X-Private", "hop"}});
    EXPECT_EQ(std::tie(answer.status, answer.contentType, answer.body),
              std::make_tuple(201, "image/png", png));
    ASSERT_EQ(agent.state().seen.size(), 1u);
    const RequestEnvelope sent = agent.state().seen[0];
    EXPECT_EQ(std::tie(sent.method, sent.path, sent.body),
              std::make_tuple("POST", "/api/pair?x=1", R"({"pin":"1"})"));
    std::map<std::string, std::string> headers(sent.headers.begin(), sent.headers.end());
    EXPECT_EQ(headers["X-TD-Token"], "t");
    EXPECT_EQ(headers.count("Host"), 1u);
    for (const char* hop : {"Connection", "X-Private", "Content-Length"}) {
        EXPECT_EQ(headers.count(hop), 0u) << hop;
    }

    // Cookies (another computer's page may set them for the whole domain) lock no one out and
    // never reach an agent; other fields are bounded.
    const std::string half(40'000, 'c');
    fetch("GET", prefix + "/c", {}, Headers(5, {"Cookie", half}));
    const auto seen = agent.state().seen;
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& [name, value] : seen[1].headers) {
        EXPECT_NE(name, "Cookie");
    }
    EXPECT_EQ(fetch("GET", prefix + "/c", {}, {{"X-Big", half}, {"X-Bigger", half}}).status, 431);
    // On a relay whose computers share one origin, any service worker is one that goes away.
    const auto worker = fetch("GET", prefix + "/sw.js", {}, {{"Service-Worker", "script"}});
    EXPECT_NE(worker.body.find("unregister()"), std::string::npos);

    EXPECT_EQ(fetch("POST", prefix + "/api/type", "\xff\xfe").status, 400);
    EXPECT_EQ(fetch("POST", prefix + "/api/type", std::string(1001, 'a')).status, 413);
    EXPECT_EQ(agent.state().seen.size(), 2u);  // none of the last four reached the agent

    const std::string counted = metrics();
    EXPECT_NE(counted.find("\ntapdeck_relay_agents 1\n"), std::string::npos) << counted;
    EXPECT_NE(counted.find("tapdeck_relay_phone_requests_total{code=\"201\"} 2\n"),
              std::string::npos);
    EXPECT_EQ(counted.find(agent.id()), std::string::npos);  // no label names an agent

    // An agent that never answers keeps at most 64 phones waiting, each for the reply timeout.
    FakeAgent silent(client, relay->port(), newIdentity(), SILENT);
    ASSERT_TRUE(proven(2));
    std::vector<std::future<net::HttpResponse>> waiting;
    for (int i = 0; i < 65; ++i) {
        waiting.push_back(fetchLater("GET", "/phone/" + silent.id() + "/api/config"));
    }
    std::map<int, int> statuses;
    for (auto& waited : waiting) {
        ASSERT_EQ(waited.wait_for(20s), std::future_status::ready);
        ++statuses[waited.get().status];
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
        EXPECT_TRUE(hijacker.ends());
        EXPECT_EQ(hijacker.state().endedWhy, "closed by the peer (1008)");
        EXPECT_TRUE(hijacker.state().seen.empty());
    }
    EXPECT_EQ(fetch("GET", victimPage).body, "first");

    // The owner coming back (the same key, a new socket) replaces its older socket.
    FakeAgent again(client, relay->port(), victim, replying(200, "text/plain", "again"));
    EXPECT_TRUE(first->ends());
    EXPECT_EQ(fetch("GET", victimPage).body, "again");
    first.reset();
    EXPECT_EQ(relay->agentCount(), 1u);
    const std::string counted = metrics();
    for (const char* line : {"proofs_total{result=\"ok\"} 2\n", "proofs_total{result=\"bad\"} 4\n",
                             "proofs_total{result=\"timeout\"} 1\n"}) {
        EXPECT_NE(counted.find(line), std::string::npos) << line << counted;
    }

    // A relay that knows its own names refuses an agent that reached it by another: a relay in
    // the middle cannot pass on a proof it had an agent make for its own name.
    RelayOptions named;
    named.names = {"relay.example"};
    startRelay(named);
    FakeAgent misdirected(client, relay->port(), victim, SILENT);
    EXPECT_TRUE(misdirected.ends());
    EXPECT_EQ(relay->agentCount(), 0u);
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
    const std::size_t before = heldBytes();
    const std::string body(400'000, 'b');
    std::vector<test::LoopbackClient> phones;
    for (int i = 0; i < 64; ++i) {  // from eight addresses: each may hold an eighth of the bodies
        const std::string from = "127.0.0." + std::to_string(2 + i % 8);
        phones.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        phones.back().send("POST /phone/" + silent.id() +
                           "/x HTTP/1.1\r\nHost: r\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    std::map<std::string, int> answers;
    for (auto& phone : phones) {
        ++answers[phone.readAll(10s).substr(0, 12)];
    }
    // Past 8 MiB queued the agent is closed, and its phones hear it at once.
    EXPECT_GE(answers["HTTP/1.1 502"], 20) << testing::PrintToString(answers);
    EXPECT_TRUE(reader.closedByPeer(5s));
    EXPECT_LT(heldBytes(), before + 40 * 1024 * 1024);

    // Before its proof a socket takes no message larger than a proof.
    test::RawWebSocket stranger(relay->port(), "/mac/ws?id=" + newIdentity().id());
    ASSERT_TRUE(stranger.upgraded());
    stranger.readFrame();
    stranger.send(std::string(4000, ' '));
    EXPECT_TRUE(stranger.closedByPeer(7s));

    // A fragment every tenth of a second keeps the socket busy; the message is never whole.
    RelayOptions quick;
    quick.agentIdleTimeout = 1s;
    startRelay(quick, /*tls=*/false);
    RawAgent trickler(relay->port(), newIdentity());
    ASSERT_TRUE(proven(1));
    const auto started = std::chrono::steady_clock::now();
    trickler.send("{", /*final=*/false);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - started < 3s) {
        trickler.send(" ", false, /*continuation=*/true);
        closed = trickler.closedByPeer(100ms);
    }
    EXPECT_TRUE(closed);
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

    std::vector<test::LoopbackClient> kept;
    std::vector<std::string> first;
    for (int i = 0; i < 4; ++i) {
        kept.push_back(test::LoopbackClient::from("127.0.0.4", relay->port()));
        kept.back().send("GET /healthz HTTP/1.1\r\nHost: r\r\n\r\n");
        first.push_back(kept.back().readExactly(12, 5s));
    }
    EXPECT_EQ(first, (std::vector<std::string>{"HTTP/1.1 200", "HTTP/1.1 200", "HTTP/1.1 200",
                                               "HTTP/1.1 503"}));
    const std::string proxied =
        "GET /healthz HTTP/1.1\r\nHost: r\r\nConnection: close\r\nX-Forwarded-For: ";
    EXPECT_TRUE(plain(proxied + "127.0.0.4\r\n\r\n", "127.0.0.9").starts_with("HTTP/1.1 503"));
    EXPECT_TRUE(
        plain(proxied + "1.2.3.4, 127.0.0.5\r\n\r\n", "127.0.0.9").starts_with("HTTP/1.1 200"));
    // From a proxy no one trusts, the header is the client's own word: not believed.
    EXPECT_TRUE(plain(proxied + "127.0.0.5\r\n\r\n", "127.0.0.4").starts_with("HTTP/1.1 503"));

    // Bodies promised and never sent: an address holds its share of the budget, and such
    // connections make room for newer ones like idle ones do.
    std::vector<test::LoopbackClient> slow;
    for (int i = 0; i < 24; ++i) {
        const std::string from = "127.0.1." + std::to_string(i / 2 + 1);
        slow.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        slow.back().send("POST /phone/x/y HTTP/1.1\r\nHost: r\r\nContent-Length: 600\r\n\r\n");
    }
    EXPECT_TRUE(slow[1].readAll(2s).starts_with("HTTP/1.1 503"));  // past its address's share
    const std::string health = "GET /healthz HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n";
    EXPECT_TRUE(plain(health, "127.0.2.1").starts_with("HTTP/1.1 200"));
    // So do agents' sockets that never prove their identifiers.
    std::vector<test::RawWebSocket> unproven;
    for (int i = 0; i < 24; ++i) {
        const std::string from = "127.0.3." + std::to_string(i / 2 + 1);
        unproven.emplace_back(relay->port(), "/mac/ws?id=" + newIdentity().id(), "", from.c_str());
    }
    EXPECT_TRUE(plain(health, "127.0.2.2").starts_with("HTTP/1.1 200"));
}

// An agent on the relay's plain socket that a phone has asked something: it has read the
// request's envelope once `ask` returns.
struct AskedAgent {
    AskedAgent(std::uint16_t port, const RelayIdentity& identity, const char* from)
        : id(identity.id()), port(port), from(from), agent(port, identity, from) {
        ask();
    }
    void ask() {
        phone.emplace(test::LoopbackClient::from(from.c_str(), port));
        phone->send("GET /phone/" + id + "/x HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n");
        envelope = relay::readRequestEnvelope(agent.readFrame());
    }
    void reply(const std::string& body) {
        agent.send(relay::writeReplyEnvelope({envelope->reqId, 200, "text/plain", body}));
    }
    // Whether the relay closed it with 1013, soon.
    bool toldToTryLater(std::chrono::milliseconds within) {
        int opcode = 0;
        const std::string payload = agent.readFrame(&opcode, within);
        return opcode == 8 && payload.starts_with("\x03\xf5");
    }
    const std::string id;
    const std::uint16_t port;
    const std::string from;
    RawAgent agent;
    std::optional<test::LoopbackClient> phone;
    std::optional<RequestEnvelope> envelope;
};

// When phones' bodies take all the relay holds for them, the address holding the most gives way
// (a body still trickling in), not the phone that asks now; a head swollen with cookies holds
// its excess against its address's share while it arrives.
TEST_F(RelayServiceTest, WhenBodiesFillTheRelayTheAddressHoldingTheMostGivesWay) {
    RelayOptions options;
    options.bodyBudget = 8000;  // 1,000 bytes an address
    startRelay(options, /*tls=*/false);
    std::vector<test::LoopbackClient> tricklers;
    for (int i = 1; i <= 8; ++i) {
        const std::string from = "127.0.5." + std::to_string(i);
        tricklers.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        tricklers.back().send("POST /phone/x/y HTTP/1.1\r\nHost: r\r\nContent-Length: 1000\r\n\r\n");
        tricklers.back().readAll(50ms);  // the relay has taken its head in
    }
    EXPECT_TRUE(plain("POST /phone/x/y HTTP/1.1\r\nHost: r\r\nConnection: close\r\n"
                      "Content-Length: 2\r\n\r\n{}",
                      "127.0.5.9")
                    .starts_with("HTTP/1.1 502"));  // held, and carried to no agent
    auto cookies = test::LoopbackClient::from("127.0.5.10", relay->port());
    cookies.send("GET /healthz HTTP/1.1\r\nHost: r\r\nCookie: " + std::string(70'000, 'c'));
    EXPECT_TRUE(cookies.readAll(5s).starts_with("HTTP/1.1 503"));
    // Heads swollen with cookies give way as bodies do.
    tricklers.clear();
    std::vector<test::LoopbackClient> swollen;
    for (int i = 1; i <= 8; ++i) {
        const std::string from = "127.0.6." + std::to_string(i);
        swollen.push_back(test::LoopbackClient::from(from.c_str(), relay->port()));
        swollen.back().send("GET /healthz HTTP/1.1\r\nHost: r\r\nCookie: " +
                            std::string(65'536 + 992, 'c'));  // 1,000 bytes past the head
        swollen.back().readAll(50ms);
    }
    EXPECT_TRUE(plain("POST /phone/x/y HTTP/1.1\r\nHost: r\r\nConnection: close\r\n"
                      "Content-Length: 2\r\n\r\n{}",
                      "127.0.5.11")
                    .starts_with("HTTP/1.1 502"));
    // So does a large answer, until the phone has read it: past the address's share, 503.
    for (const std::size_t size : {std::size_t{60'000}, std::size_t{100'000}}) {
        AskedAgent agent(relay->port(), newIdentity(), "127.0.5.12");
        ASSERT_TRUE(agent.envelope);
        agent.reply(std::string(size, 'a'));
        EXPECT_EQ(agent.phone->readAll(5s).substr(0, 12),
                  size < 65'536 ? "HTTP/1.1 200" : "HTTP/1.1 503");
    }
}

// A reply that comes after its phone's 504 is dropped and its agent kept (only slow); an agent
// speaks only when asked. One address holds at most an eighth of what agents' messages may
// hold together, and when all of it is taken the agent holding the most gives way, not the one
// that reads.
TEST_F(RelayServiceTest, ASlowAgentIsKeptAndNoAddressTakesTheMessageBudget) {
    RelayOptions options;
    options.replyTimeout = 500ms;
    options.messageBudget = 8 * 1024 * 1024;  // 1 MiB an address
    startRelay(options, /*tls=*/false);
    AskedAgent slow(relay->port(), newIdentity(), "127.0.0.1");
    ASSERT_TRUE(slow.envelope);
    EXPECT_TRUE(slow.phone->readAll(5s).starts_with("HTTP/1.1 504"));
    slow.reply("late");
    slow.ask();
    ASSERT_TRUE(slow.envelope);
    slow.reply("on time");
    EXPECT_TRUE(slow.phone->readAll(5s).ends_with("on time"));
    slow.agent.send(relay::writeReplyEnvelope({"nobody", 200, "text/plain", "?"}));
    EXPECT_TRUE(slow.agent.closedByPeer(5s));

    AskedAgent twin(relay->port(), newIdentity(), "127.0.0.2");
    ASSERT_TRUE(twin.envelope);
    twin.agent.send(std::string(600 * 1024, 'x'), /*final=*/false);
    ASSERT_TRUE(twin.agent.heard());
    AskedAgent otherTwin(relay->port(), newIdentity(), "127.0.0.2");
    ASSERT_TRUE(otherTwin.envelope);
    otherTwin.agent.send(std::string(600 * 1024, 'x'), /*final=*/false);
    EXPECT_TRUE(otherTwin.toldToTryLater(5s));
    // Many small messages of one address weigh as much as a large one.
    std::vector<std::unique_ptr<AskedAgent>> fillers;
    for (int i = 0; i < 32; ++i) {
        const std::string from = "127.0.1." + std::to_string(i / 4 + 1);
        fillers.push_back(std::make_unique<AskedAgent>(relay->port(), newIdentity(), from.c_str()));
        ASSERT_TRUE(fillers.back()->envelope);
        RawAgent& agent = fillers.back()->agent;
        agent.send(std::string(240 * 1024, 'x'), /*final=*/false);
        ASSERT_TRUE(agent.heard());
        agent.sendHead(50 * 1024, /*final=*/false, /*continuation=*/true);
        agent.sendBytes(std::string(10 * 1024, 'x'));  // the rest of the frame is still to come
    }
    AskedAgent honest(relay->port(), newIdentity(), "127.0.0.3");
    ASSERT_TRUE(honest.envelope);
    honest.reply(std::string(1000 * 1024, 'h'));
    EXPECT_TRUE(honest.phone->readAll(10s).starts_with("HTTP/1.1 200"));
    // One that gave way, and goes on sending, holds nothing more: once its address's others are
    // gone too, the address's share is whole again.
    std::size_t gaveWay = fillers.size();
    for (auto until = std::chrono::steady_clock::now() + 10s;
         gaveWay == fillers.size() && std::chrono::steady_clock::now() < until;) {
        for (std::size_t i = 0; i < fillers.size() && gaveWay == fillers.size(); ++i) {
            gaveWay = fillers[i]->toldToTryLater(20ms) ? i : gaveWay;
        }
    }
    ASSERT_LT(gaveWay, fillers.size());
    const std::size_t first = gaveWay / 4 * 4;
    for (std::size_t i = first; i < first + 4; ++i) {
        if (i != gaveWay) {
            fillers[i]->agent.stopSending();
            EXPECT_TRUE(fillers[i]->agent.closedByPeer(5s));
        }
    }
    fillers[gaveWay]->agent.sendBytes(std::string(40 * 1024, 'x'));
    fillers[gaveWay]->agent.stopSending();
    EXPECT_TRUE(fillers[gaveWay]->agent.closedByPeer(5s));
    AskedAgent whole(relay->port(), newIdentity(), fillers[first]->from.c_str());
    ASSERT_TRUE(whole.envelope);
    whole.reply(std::string(1000 * 1024, 'w'));
    EXPECT_TRUE(whole.phone->readAll(10s).starts_with("HTTP/1.1 200"));
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
    EXPECT_TRUE(echo.state().endedWhy.empty());
}

}  // namespace
}  // namespace td::relay_server
