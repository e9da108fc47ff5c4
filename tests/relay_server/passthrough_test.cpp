#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <thread>

#include "common/relay_proof.hpp"
#include "common/relay_streams.hpp"
#include "relay/relay_identity.hpp"
#include "relay_server/client_hello.hpp"
#include "relay_server/proxy_header.hpp"
#include "relay_server/relay_harness.hpp"
#include "relay_server/stream_tunnel.hpp"
#include "support/loopback_client.hpp"

namespace td::relay_server {
namespace {

using namespace std::chrono_literals;
using relay::StreamFrameType;
using test::eventually;

// What a browser's TLS library sends first, for `serverName`, with `alpnBytes` of protocol
// names to make it as large as wanted.
std::string clientHello(const std::string& serverName, std::size_t alpnBytes = 0) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(context);
    if (!serverName.empty()) {
        SSL_set_tlsext_host_name(ssl, serverName.c_str());
    }
    std::string protocols;
    while (protocols.size() < alpnBytes) {
        protocols += std::string(1, static_cast<char>(200)) + std::string(200, 'p');
    }
    if (!protocols.empty()) {
        SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(protocols.data()),
                            static_cast<unsigned>(protocols.size()));
    }
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl);
    std::string hello(static_cast<std::size_t>(BIO_pending(out)), '\0');
    BIO_read(out, hello.data(), static_cast<int>(hello.size()));
    SSL_free(ssl);
    SSL_CTX_free(context);
    return hello;
}

// The same handshake message framed again in records of `size` bytes, as any client may.
std::string inRecordsOf(const std::string& hello, std::size_t size) {
    const std::string message = hello.substr(5);
    std::string out;
    for (std::size_t at = 0; at < message.size(); at += size) {
        const std::string part = message.substr(at, size);
        out += std::string{0x16, 0x03, 0x01, static_cast<char>(part.size() >> 8),
                           static_cast<char>(part.size() & 0xFF)} +
               part;
    }
    return out;
}

TEST(ClientHello, TheNameIsFoundHoweverTheHelloIsCutAndAnythingElseIsRefused) {
    const std::string hello = clientHello("Abc123.Relay.Test", 3000);
    const std::string small = clientHello("Abc123.Relay.Test");
    for (const std::string& framed : {hello, inRecordsOf(hello, 100), inRecordsOf(small, 1)}) {
        const HelloScan whole = scanClientHello(framed);
        ASSERT_EQ(whole.kind, HelloScan::Kind::named);
        EXPECT_EQ(whole.serverName, "abc123.relay.test");
        // Every prefix asks for more, and for more than it has.
        for (std::size_t cut = 0; cut < framed.size(); cut += 97) {
            const HelloScan part = scanClientHello(std::string_view(framed).substr(0, cut));
            ASSERT_EQ(part.kind, HelloScan::Kind::incomplete) << cut;
            EXPECT_GT(part.needBytes, cut);
            EXPECT_LE(part.needBytes, framed.size());
        }
    }
    const HelloScan nameless = scanClientHello(clientHello(""));
    EXPECT_EQ(nameless.kind, HelloScan::Kind::named);
    EXPECT_EQ(nameless.serverName, "");

    // Past 16 KiB, whether in the hello or in the records' framing of it.
    EXPECT_EQ(scanClientHello(clientHello("a.relay.test", 17'000)).kind, HelloScan::Kind::refused);
    EXPECT_EQ(scanClientHello(inRecordsOf(hello, 1)).kind, HelloScan::Kind::refused);
    EXPECT_EQ(scanClientHello("GET / HTTP/1.1\r\n").kind, HelloScan::Kind::refused);
    std::string badName = hello;
    const std::size_t at = badName.find("Abc123");
    badName[at] = '_';
    EXPECT_EQ(scanClientHello(badName).kind, HelloScan::Kind::refused);
    std::string shortened = hello;
    shortened[8] = static_cast<char>(shortened[8] - 1);  // the message says it is shorter
    EXPECT_NE(scanClientHello(shortened).kind, HelloScan::Kind::named);
}

TEST(ServerNames, RouteToTheRelayAnAgentOrNowhere) {
    const std::vector<std::string> names = {"relay.example:8443"};
    const auto kind = [&](std::string_view name) {
        return routeServerName(name, "relay.test:443", names);
    };
    EXPECT_EQ(kind("").kind, NameRoute::Kind::relay);
    EXPECT_EQ(kind("relay.test").kind, NameRoute::Kind::relay);
    EXPECT_EQ(kind("relay.example").kind, NameRoute::Kind::relay);
    EXPECT_EQ(kind("abc.t.relay.test").kind, NameRoute::Kind::relay);
    EXPECT_EQ(kind("abc.relay.test").kind, NameRoute::Kind::agent);
    EXPECT_EQ(kind("abc.relay.test").id, "abc");
    for (const char* nowhere : {"x.abc.relay.test", "relay.test.evil", "evilrelay.test",
                                ".relay.test", "t.relay.test.example"}) {
        EXPECT_EQ(kind(nowhere).kind, NameRoute::Kind::none) << nowhere;
    }
}

// An agent of the test's own that keeps the streams it is given: what each brought, and,
// unless told to hold back, credit for all of it.
TEST(ProxyHeader, TheClientIsReadFromAWholeLineAndAnythingElseIsRefused) {
    using Kind = ProxyHeaderScan::Kind;
    const std::string line = "PROXY TCP4 203.0.113.7 192.0.2.1 51234 443\r\n";
    for (std::size_t cut = 0; cut < line.size(); ++cut) {
        EXPECT_EQ(scanProxyHeader(line.substr(0, cut)).kind, Kind::incomplete) << cut;
    }
    const auto whole = scanProxyHeader(line + "\x16\x03\x01");
    EXPECT_EQ(whole.kind, Kind::complete);
    EXPECT_EQ(whole.bytes, line.size());
    EXPECT_EQ(whole.client, "203.0.113.7");
    EXPECT_EQ(scanProxyHeader("PROXY TCP6 2001:db8::7 2001:db8::1 1 443\r\n").client,
              "2001:db8::7");
    // Counted as one client however it is written.
    EXPECT_EQ(scanProxyHeader("PROXY TCP6 ::ffff:203.0.113.7 ::1 1 443\r\n").client, "203.0.113.7");
    EXPECT_EQ(canonicalAddress("::ffff:127.0.0.9"), "127.0.0.9");
    const auto unknown = scanProxyHeader("PROXY UNKNOWN\r\n");
    EXPECT_EQ(unknown.kind, Kind::complete);
    EXPECT_EQ(unknown.client, "");
    for (const std::string& refused : std::vector<std::string>{
             "\x16\x03\x01", "GET / HTTP/1.1\r\n", "PROXY TCP4 203.0.113.7 192.0.2.1 51234\r\n",
             "PROXY TCP4 2001:db8::7 192.0.2.1 1 443\r\n",
             "PROXY TCP4 203.0.113.7 192.0.2.1 1 65536\r\n",
             "PROXY TCP4 203.0.113.07x 192.0.2.1 1 443\r\n",
             "PROXY UDP4 203.0.113.7 192.0.2.1 1 443\r\n", "PROXY TCP4 " + std::string(200, '1'),
             "PROXY TCP4 203.0.113.7 192.0.2.1 1 443 \r\n",
             "PROXY TCP4 203.0.113.7  192.0.2.1 1 443\r\n",
             std::string("PROXY TCP4 203.0.113.7\0x 192.0.2.1 1 443\r\n", 42),
             "PROXY TCP6 fe80::1%lo ::1 1 443\r\n"}) {
        EXPECT_EQ(scanProxyHeader(refused).kind, Kind::refused) << refused;
    }
}

class StreamAgent {
  public:
    struct Stream {
        std::string address;
        std::string received;
        bool closed = false;
    };

    enum class Mode { granting, holding, flooding };  // flooding: sends all its credit, always

    StreamAgent(net::HttpsClient& client, std::uint16_t port, Mode mode = Mode::granting)
        : identity_(*relay::RelayIdentity::generate()), mode_(mode) {
        net::WebSocketHandlers handlers;
        handlers.connectTo = "127.0.0.1:" + std::to_string(port);
        handlers.onText = [this](std::string text) { onText(text); };
        handlers.onBinary = [this](std::string bytes) { onFrame(bytes); };
        handlers.onEnd = [this](const std::string& why) {
            std::lock_guard lock(mutex_);
            endedWhy_ = why;
        };
        handlers.maxMessageBytes = 1 << 20;
        std::lock_guard lock(mutex_);
        socket_ = client.openWebSocket(
            "wss://" + identity_.id() + ".t.relay.test/mac/ws?id=" + identity_.id(), handlers);
    }
    ~StreamAgent() { close(); }
    void close() { socket_->close(); }

    const std::string& id() const { return identity_.id(); }
    std::map<std::uint32_t, Stream> streams() const {
        std::lock_guard lock(mutex_);
        return streams_;
    }
    std::string endedWhy() const {
        std::lock_guard lock(mutex_);
        return endedWhy_;
    }
    void send(StreamFrameType type, std::uint32_t stream, std::string_view payload = {}) {
        socket_->sendBinary(relay::writeStreamFrame(type, stream, payload));
    }
    void grant(std::uint32_t stream, std::uint32_t credit) {
        socket_->sendBinary(relay::writeWindowFrame(stream, credit));
    }

  private:
    void onText(const std::string& text) {
        std::lock_guard lock(mutex_);
        const auto challenge = relay::readChallenge(text);
        ASSERT_TRUE(challenge) << text;
        const std::string proof = relay::proofMessage(socket_->host(), id(), challenge->challenge);
        socket_->sendText(relay::writeProof({identity_.rawPublicKey(), identity_.sign(proof)}));
    }

    void onFrame(const std::string& bytes) {
        const auto frame = relay::readStreamFrame(bytes);
        ASSERT_TRUE(frame);
        std::lock_guard lock(mutex_);
        Stream& stream = streams_[frame->stream];
        if (frame->type == StreamFrameType::open) {
            stream.address = std::string(frame->payload);
            if (mode_ == Mode::flooding) {
                flood(frame->stream, relay::STREAM_WINDOW_BYTES);
            }
        } else if (frame->type == StreamFrameType::window && mode_ == Mode::flooding) {
            flood(frame->stream, frame->credit());
        } else if (frame->type == StreamFrameType::data) {
            stream.received.append(frame->payload);
            if (mode_ == Mode::granting) {
                socket_->sendBinary(relay::writeWindowFrame(
                    frame->stream, static_cast<std::uint32_t>(frame->payload.size())));
            }
        } else if (frame->type == StreamFrameType::close) {
            stream.closed = true;
        }
    }

  public:
    std::size_t flooded() const {
        std::lock_guard lock(mutex_);
        return flooded_;
    }

  private:
    void flood(std::uint32_t stream, std::size_t bytes) {
        for (std::size_t sent = 0; sent < bytes; sent += relay::MAX_STREAM_DATA_BYTES) {
            const std::size_t size = std::min(relay::MAX_STREAM_DATA_BYTES, bytes - sent);
            socket_->sendBinary(
                relay::writeStreamFrame(StreamFrameType::data, stream, std::string(size, 'x')));
        }
        flooded_ += bytes;
    }

    const relay::RelayIdentity identity_;
    const Mode mode_;
    std::size_t flooded_ = 0;
    mutable std::mutex mutex_;
    std::shared_ptr<net::WebSocket> socket_;
    std::map<std::uint32_t, Stream> streams_;
    std::string endedWhy_;
};

class PassthroughTest : public test::RelayHarness {
  protected:
    void SetUp() override {
        RelayOptions options;
        options.phoneDomain = "relay.test";
        options.passthrough = true;
        options.trustedProxies = {PROXY};
        startRelay(options);
    }

    // A phone's connection to `name` that has sent its ClientHello (kept in `lastHello`) and
    // `after`.
    test::LoopbackClient phone(const std::string& name, const std::string& after = {},
                               const char* from = "127.0.0.1") {
        auto connection = test::LoopbackClient::from(from, relay->port());
        lastHello = clientHello(name, 2000);
        // In two segments, the first too short for the name.
        connection.send(lastHello.substr(0, 300));
        connection.send(lastHello.substr(300) + after);
        return connection;
    }
    std::string lastHello;
    static constexpr const char* PROXY = "127.0.0.9";

    std::string metrics() {
        return test::bodyOf(test::exchange(*relay->metricsPort(), "GET /metrics HTTP/1.1\r\n\r\n"));
    }
};

TEST_F(PassthroughTest, PhonesBytesReachTheirAgentUnreadAndBack) {
    StreamAgent agent(client, relay->port());
    ASSERT_TRUE(proven(1)) << agent.endedWhy();

    auto first = phone(agent.id() + ".relay.test", "token=secret");
    const std::string hello = lastHello;
    ASSERT_TRUE(eventually([&] {
        const auto streams = agent.streams();
        return streams.size() == 1 && streams.begin()->second.received.ends_with("token=secret");
    }));
    const auto [id, stream] = *agent.streams().begin();
    EXPECT_EQ(stream.address, "127.0.0.1");
    EXPECT_EQ(stream.received, hello + "token=secret") << "the hello itself is carried too";
    agent.send(StreamFrameType::data, id, "answer");
    EXPECT_EQ(first.readExactly(6), "answer");
    first.abort();
    EXPECT_TRUE(eventually([&] { return agent.streams()[id].closed; }));

    auto second = phone(agent.id() + ".relay.test");
    ASSERT_TRUE(eventually([&] { return agent.streams().size() == 2; }));
    agent.send(StreamFrameType::data, id + 1, "bye");
    agent.send(StreamFrameType::close, id + 1);
    EXPECT_EQ(second.readAll(), "bye");

    const std::string counted = metrics();
    EXPECT_NE(counted.find("tapdeck_relay_streams 0\n"), std::string::npos) << counted;
    EXPECT_NE(counted.find("tapdeck_relay_stream_bytes_total{direction=\"to_phone\"} 9\n"),
              std::string::npos)
        << counted;
    EXPECT_EQ(counted.find(agent.id()), std::string::npos);

    // Nothing reaches anyone for a computer not connected, a name of no computer, no hello, or
    // a hello that never ends; nor a request naming a computer through the relay's own TLS.
    EXPECT_TRUE(phone("nobody.relay.test").closedByPeer());
    EXPECT_TRUE(phone("x." + agent.id() + ".relay.test").closedByPeer());
    test::LoopbackClient plain(relay->port());
    plain.send("GET / HTTP/1.1\r\nHost: " + agent.id() + ".relay.test\r\n\r\n");
    EXPECT_TRUE(plain.closedByPeer());
    test::LoopbackClient trickle(relay->port());
    trickle.send(hello.substr(0, 100));
    EXPECT_TRUE(trickle.closedByPeer(15s));
    const auto misdirected = fetch("GET", "/", {}, {{"Host", agent.id() + ".relay.test"}});
    EXPECT_EQ(misdirected.status, 421);
    EXPECT_EQ(agent.streams().size(), 2u);
}

TEST_F(PassthroughTest, AStreamOutOfCreditIsNotReadAndAgentsBreakingTheRulesAreClosed) {
    StreamAgent holding(client, relay->port(), StreamAgent::Mode::holding);
    ASSERT_TRUE(proven(1));
    auto connection = phone(holding.id() + ".relay.test");
    const std::string sent = lastHello + std::string(1 << 20, 'b');
    // The relay stops reading at its window, so the phone's sending blocks until it ends.
    std::thread bulk([&] { connection.send(std::string_view(sent).substr(lastHello.size())); });
    const auto received = [&] {
        const auto streams = holding.streams();
        return streams.empty() ? std::string() : streams.begin()->second.received;
    };
    ASSERT_TRUE(eventually([&] { return received().size() == relay::STREAM_WINDOW_BYTES; }));
    EXPECT_TRUE(connection.silentFor(200ms));
    EXPECT_EQ(received().size(), relay::STREAM_WINDOW_BYTES) << "nothing past the window";
    holding.grant(1, relay::STREAM_WINDOW_BYTES);
    EXPECT_TRUE(eventually([&] { return received().size() == 2 * relay::STREAM_WINDOW_BYTES; }));
    EXPECT_EQ(received(), sent.substr(0, 2 * relay::STREAM_WINDOW_BYTES)) << "in order, whole";

    holding.grant(1, relay::STREAM_WINDOW_BYTES + 1);  // credit it was never owed
    EXPECT_TRUE(eventually([&] { return !holding.endedWhy().empty(); }));
    EXPECT_TRUE(connection.closedByPeer());
    bulk.join();

    StreamAgent inventing(client, relay->port());
    ASSERT_TRUE(proven(1));
    auto other = phone(inventing.id() + ".relay.test");
    ASSERT_TRUE(eventually([&] { return inventing.streams().size() == 1; }));
    inventing.send(StreamFrameType::data, 2, "x");  // a stream it was never given
    EXPECT_TRUE(eventually([&] { return !inventing.endedWhy().empty(); }));
    EXPECT_TRUE(other.closedByPeer());

    // An agent that goes while its bytes wait for a phone that reads nothing leaves the relay
    // whole (what was being written is released once, when that write ends).
    StreamAgent flooding(client, relay->port(), StreamAgent::Mode::flooding);
    ASSERT_TRUE(proven(1));
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(silent, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(relay->port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string hello = clientHello(flooding.id() + ".relay.test");
    ASSERT_EQ(::send(silent, hello.data(), hello.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(hello.size()));
    // Stalled: the phone's buffers are full and no credit comes back any more.
    ASSERT_TRUE(eventually(
        [&] {
            const std::size_t before = flooding.flooded();
            std::this_thread::sleep_for(300ms);
            return before > relay::STREAM_WINDOW_BYTES && flooding.flooded() == before;
        },
        30s));
    flooding.close();
    ASSERT_TRUE(proven(0));
    EXPECT_EQ(fetch("GET", "/healthz").body, "ok");
    ::close(silent);

    StreamAgent unasked(client, relay->port());
    ASSERT_TRUE(proven(1));
    unasked.send(StreamFrameType::window, 1, std::string("\0\0\0\1", 4));  // before any stream
    EXPECT_TRUE(eventually([&] { return !unasked.endedWhy().empty(); }));
}

TEST_F(PassthroughTest, AnAgentCarriesAtMostItsShareOfStreamsAndAnAddressAtMostItsOwn) {
    StreamAgent agent(client, relay->port());
    ASSERT_TRUE(proven(1));
    const std::string name = agent.id() + ".relay.test";
    const auto carried = [&](std::size_t count) {
        return eventually([&] { return agent.streams().size() == count; });
    };
    std::vector<test::LoopbackClient> phones;
    for (std::size_t i = 0; i < StreamTunnel::MAX_STREAMS_PER_ADDRESS; ++i) {
        phones.push_back(phone(name, {}, "127.0.0.2"));
    }
    ASSERT_TRUE(carried(StreamTunnel::MAX_STREAMS_PER_ADDRESS));
    EXPECT_TRUE(phone(name, {}, "127.0.0.2").closedByPeer()) << "past its address's share";
    for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        for (std::size_t i = 0; i < StreamTunnel::MAX_STREAMS_PER_ADDRESS; ++i) {
            phones.push_back(phone(name, {}, from));
        }
    }
    ASSERT_TRUE(carried(relay::MAX_STREAMS_PER_AGENT));
    EXPECT_TRUE(phone(name, {}, "127.0.0.6").closedByPeer()) << "past the agent's";
    EXPECT_NE(metrics().find("tapdeck_relay_streams_refused_total 2\n"), std::string::npos);
    phones.front().abort();
    ASSERT_TRUE(eventually([&] { return agent.streams().begin()->second.closed; }));
    auto replacement = phone(name, {}, "127.0.0.2");
    EXPECT_TRUE(carried(relay::MAX_STREAMS_PER_AGENT + 1));
}

TEST_F(PassthroughTest, BehindATrustedProxyAPhoneIsCountedAsTheAddressItsLineNames) {
    StreamAgent agent(client, relay->port());
    ASSERT_TRUE(proven(1));
    const std::string hello = clientHello(agent.id() + ".relay.test");
    const auto through = [&](const std::string& line) {
        auto connection = test::LoopbackClient::from(PROXY, relay->port());
        connection.send(line.substr(0, 10));
        connection.send(line.substr(10) + hello);
        return connection;
    };
    const auto from = [&](const std::string& client) {
        return through("PROXY TCP4 " + client + " 192.0.2.1 51234 443\r\n");
    };
    std::vector<test::LoopbackClient> phones;
    phones.push_back(from("203.0.113.7"));
    ASSERT_TRUE(eventually([&] { return agent.streams().size() == 1; }));
    EXPECT_EQ(agent.streams()[1].address, "203.0.113.7");
    EXPECT_TRUE(eventually([&] { return agent.streams()[1].received == hello; }))
        << "the proxy's line is not carried";

    // One client behind the proxy fills its own share, not the proxy's.
    while (phones.size() < StreamTunnel::MAX_STREAMS_PER_ADDRESS) {
        phones.push_back(from("203.0.113.7"));
    }
    ASSERT_TRUE(eventually([&] { return agent.streams().size() == phones.size(); }));
    EXPECT_TRUE(from("203.0.113.7").closedByPeer());
    phones.push_back(from("203.0.113.8"));
    EXPECT_TRUE(eventually([&] { return agent.streams().size() == phones.size(); }));
    phones.push_back(through("PROXY UNKNOWN\r\n"));
    EXPECT_TRUE(eventually([&] { return agent.streams().size() == phones.size(); }));
    EXPECT_EQ(agent.streams().rbegin()->second.address, PROXY);

    // The proxy must name the client; nobody else may.
    auto unnamed = test::LoopbackClient::from(PROXY, relay->port());
    unnamed.send(hello);
    EXPECT_TRUE(unnamed.closedByPeer());
    auto pretending = test::LoopbackClient::from("127.0.0.8", relay->port());
    pretending.send("PROXY TCP4 203.0.113.9 192.0.2.1 51234 443\r\n" + hello);
    EXPECT_TRUE(pretending.closedByPeer());
    EXPECT_EQ(agent.streams().size(), phones.size());
}

}  // namespace
}  // namespace td::relay_server
