#include "server/server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "harness.hpp"
#include "server/static_files.hpp"
#include "support/loopback_client.hpp"
#include "support/raw_websocket.hpp"

namespace td::server {
namespace {

using namespace std::chrono_literals;
using test::exchange;
using test::LoopbackClient;

// Answers by path, so each test can ask for the behaviour it needs.
struct TestRouter {
    Server*& server;
    std::shared_ptr<std::promise<ConnectionPtr>> kept;
    std::shared_ptr<std::atomic<int>> slowStarted;

    void operator()(const ConnectionPtr& connection, Request request) const {
        if (request.path.starts_with("/echo")) {
            connection->json({{"method", request.method},
                              {"query", request.query},
                              {"headers", request.headers},
                              {"body", request.body},
                              {"loopback", request.source == RequestSource::loopbackAddress &&
                                               connection->peerIsThisUser()}});
        } else if (request.path == "/text") {
            const int status = std::stoi(request.query.emplace("status", "200").first->second);
            const std::string extra = request.query["extra"];
            connection->send({status, "text/plain", "hi", extra.empty() ? "" : extra + "\r\n"});
        } else if (request.path == "/events") {
            server->openSSE(connection, request.peer);
        } else if (request.path == "/slow") {
            server->runOnWorkPool([connection, started = slowStarted] {
                ++*started;
                std::this_thread::sleep_for(1500ms);
                connection->send({200, "text/plain", "slow", ""});
            });
        } else if (request.path == "/socket") {
            connection->becomeWebSocket(request, {"x", 1024, std::chrono::seconds(1), 100}, {});
        } else if (request.path == "/kept") {
            kept->set_value(connection);  // answered later, or never, by someone else
        } else {
            connection->send(serveStatic(server->publicDir(), request.encodedPath));
        }
    }
};

class ServerTest : public ::testing::Test {
  protected:
    void startWith(std::function<void(ServerOptions&)> tweak = {}) {
        running_ = std::make_unique<test::RunningServer>([tweak](ServerOptions& o) {
            o.bodyLimit = [](const std::string&, const std::string& path) -> std::size_t {
                return path == "/echo/small" ? 100 : RequestReader::MAX_BODY_BYTES;
            };
            if (tweak) {
                tweak(o);
            }
        });
        serverPtr_ = &running_->server();
        running_->start(TestRouter{serverPtr_, kept_, slowStarted_});
    }
    void SetUp() override { startWith(); }

    std::uint16_t port() const { return running_->port(); }
    Server& server() { return running_->server(); }
    Json echo(std::string_view request) {
        return Json::parse(test::bodyOf(exchange(port(), request)), nullptr, false);
    }
    bool stillServing() {
        return exchange(port(), "GET /text HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nhi");
    }
    LoopbackClient openStream() {
        LoopbackClient client(port());
        client.send("GET /events HTTP/1.1\r\n\r\n");
        client.readExactly(SSE_HEAD.size() + sseChunk(SSE_GREETING).size());
        return client;
    }

    Server* serverPtr_ = nullptr;
    std::shared_ptr<std::promise<ConnectionPtr>> kept_ =
        std::make_shared<std::promise<ConnectionPtr>>();
    std::shared_ptr<std::atomic<int>> slowStarted_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<test::RunningServer> running_;
};

TEST_F(ServerTest, WireFormatIsExact) {
    EXPECT_EQ(exchange(port(), "GET /text HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "X-Frame-Options: DENY\r\nContent-Security-Policy: default-src 'self'; img-src "
              "'self' data: blob:; frame-ancestors 'none'; base-uri 'none'; form-action 'self'\r\n"
              "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\nhi");
    const std::string guards(PAGE_GUARD_HEADERS);
    EXPECT_EQ(exchange(port(), "GET /text?status=204 HTTP/1.1\r\n\r\n").substr(0, 25),
              "HTTP/1.1 204 No Content\r\n");
    for (int status : {201, 400, 401, 404, 423, 500}) {
        const std::string answer =
            exchange(port(), "GET /text?status=" + std::to_string(status) + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(status) + " ERR\r\n"))
            << answer;
    }
    EXPECT_EQ(
        exchange(port(),
                 "GET /text?extra=Cache-Control:%20public,%20max-age%3D604800 HTTP/1.1\r\n\r\n"),
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
        "Cache-Control: public, max-age=604800\r\n" +
            guards + "Connection: close\r\n\r\nhi");
    EXPECT_EQ(exchange(port(), "GET /nothing-here HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 ERR\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n" + guards +
                  "Connection: close\r\n\r\nnot found");
}

TEST_F(ServerTest, RequestFedOneByteAtATimeIsParsedAsIfWhole) {
    const std::string request =
        "POST /echo?a=1 HTTP/1.1\r\nX-TD-Token: t\r\nContent-Length: 4\r\n\r\nbody";
    LoopbackClient client(port());
    for (char byte : request) {
        ASSERT_TRUE(client.send(std::string_view(&byte, 1)));
        std::this_thread::sleep_for(200us);
    }
    const Json answer = Json::parse(test::bodyOf(client.readAll()), nullptr, false);
    EXPECT_EQ(answer, echo(request));
    EXPECT_EQ(answer["body"], "body");
    EXPECT_EQ(answer["headers"]["x-td-token"], "t");
}

// Each is answered as said (or closed with no answer) and the server goes on serving.
TEST_F(ServerTest, BadInputIsRefusedAndServingGoesOn) {
    struct Case {
        std::string bytes;
        std::string answerStart;  // "" for a close without an answer
    };
    const std::vector<Case> cases = {
        {"POST /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", ""},  // then the peer ends
        {"GET /echo HTTP/1.1\r\nHost: x\r\n", ""},
        {"", ""},
        {"POST /echo HTTP/1.1\r\nContent-Length: -3\r\n\r\nabc", ""},
        {"GET / HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 ERR\r\n"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 9000000\r\n\r\n" + std::string(100'000, 'z'),
         "HTTP/1.1 413 ERR\r\n"},
        // Past what the path takes (the body limit below), refused before the body is read.
        {"POST /echo/small HTTP/1.1\r\nContent-Length: 101\r\n\r\n" + std::string(101, 'z'),
         "HTTP/1.1 413 ERR\r\n"},
        // Not a path: joined to a folder, it would name the folder's siblings.
        {"GET -secret.txt HTTP/1.1\r\n\r\n", "HTTP/1.1 400 ERR\r\n"},
        {"GET http://example.com/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400 ERR\r\n"},
        // Chunked bodies are not read here; a proxy in front would see another body than us.
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 400 ERR\r\n"},
        // Pipelined requests: only the first is read and answered.
        {"GET /text HTTP/1.1\r\n\r\nGET /echo HTTP/1.1\r\n\r\nGET /echo HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\n"},
    };
    for (const Case& c : cases) {
        LoopbackClient client(port());
        client.send(c.bytes);
        client.finishSending();
        const std::string answer = client.readAll();
        EXPECT_TRUE(answer.starts_with(c.answerStart)) << c.bytes.substr(0, 60);
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << c.bytes.substr(0, 60);
        if (c.answerStart.empty()) {
            EXPECT_EQ(answer, "") << c.bytes.substr(0, 60);
        }
    }
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, AnswerSurvivesUnreadBytesStillArriving) {
    // A body longer than declared keeps arriving after the answer; closing must not reset the
    // connection under the answer.
    LoopbackClient client(port());
    client.send("POST /text HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
    std::this_thread::sleep_for(50ms);
    client.send(std::string(200'000, 'y'));
    EXPECT_TRUE(client.readAll().ends_with("\r\n\r\nhi"));
}

TEST_F(ServerTest, OnlyTheLoopbackPeerIsTheLoopbackSource) {
    EXPECT_EQ(echo("GET /echo HTTP/1.1\r\n\r\n")["loopback"], true);  // as ::ffff:127.0.0.1
    const std::string fromElsewhere = test::exchangeRemote(port(), "GET /echo HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Json::parse(test::bodyOf(fromElsewhere))["loopback"], false);
    LoopbackClient v6(port(), /*ipv6=*/true);
    if (!v6.connected()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    v6.send("GET /echo HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Json::parse(test::bodyOf(v6.readAll()))["loopback"], true);
}

TEST_F(ServerTest, EventStreamHeadGreetingAndBroadcasts) {
    LoopbackClient first(port());
    first.send("GET /events HTTP/1.1\r\n\r\n");
    EXPECT_EQ(
        first.readExactly(SSE_HEAD.size() + 18),
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
        "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
        "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\nd\r\n: connected\n\n\r\n");
    LoopbackClient second = openStream();
    LoopbackClient third = openStream();
    ASSERT_TRUE(test::eventually([&] { return server().eventStreamCount() == 3; }));

    first.send("GET /echo HTTP/1.1\r\n\r\n");  // never read, never answered
    server().broadcastReload();
    for (auto* client : {&first, &second, &third}) {
        EXPECT_EQ(client->readExactly(29), "17\r\nevent: reload\ndata: 1\n\n\r\n");
    }
    EXPECT_TRUE(first.silentFor(200ms));

    // A client that vanished is dropped at the first write that fails; the others stay.
    second.abort();
    EXPECT_TRUE(test::eventually([&] {
        server().broadcast(":\n\n");
        return server().eventStreamCount() == 2;
    }));
    EXPECT_EQ(third.readExactly(8), "3\r\n:\n\n\r\n");
}

TEST_F(ServerTest, AWebSocketSilentForItsIdleTimeIsClosedAndNeverPinged) {
    test::RawWebSocket socket(port(), "/socket");
    ASSERT_TRUE(socket.upgraded()) << socket.head();
    int opcode = 0;
    socket.readFrame(&opcode, 3s);
    EXPECT_NE(opcode, 9) << "a browser answers pings: a silent socket would be kept for ever";
    EXPECT_TRUE(socket.closedByPeer(3s));
}

TEST_F(ServerTest, KeepAliveReachesEveryStream) {
    startWith([](ServerOptions& o) { o.keepAliveInterval = 100ms; });
    LoopbackClient client = openStream();
    EXPECT_EQ(client.readExactly(16, 3s), "3\r\n:\n\n\r\n3\r\n:\n\n\r\n");
}

TEST_F(ServerTest, SlowReaderOfAStreamIsDroppedNotBuffered) {
    startWith([](ServerOptions& o) { o.limits.maxStreamBacklog = 256 * 1024; });
    LoopbackClient client = openStream();
    ASSERT_TRUE(test::eventually([&] { return server().eventStreamCount() == 1; }));
    const std::string big(1024 * 1024, 'x');
    EXPECT_TRUE(test::eventually(
        [&] {
            server().broadcast("data: " + big + "\n\n");
            return server().eventStreamCount() == 0;
        },
        10s));
}

TEST_F(ServerTest, BlockingHandlerDelaysNoOtherConnection) {
    std::vector<std::thread> slow;
    std::atomic<int> slowAnswers{0};
    for (int i = 0; i < 3; ++i) {
        slow.emplace_back([&] {
            slowAnswers += exchange(port(), "GET /slow HTTP/1.1\r\n\r\n").ends_with("slow");
        });
    }
    ASSERT_TRUE(test::eventually([&] { return *slowStarted_ == 3; }));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(stillServing());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1200ms);  // the blocked ones take 1500 ms
    for (auto& t : slow) {
        t.join();
    }
    EXPECT_EQ(slowAnswers, 3);  // all three ran side by side within the client's wait
}

TEST_F(ServerTest, StopWaitsForHandlersAndAConnectionKeptPastTheServerIsHarmless) {
    LoopbackClient slow(port());
    slow.send("GET /slow HTTP/1.1\r\n\r\n");
    LoopbackClient kept(port());
    kept.send("GET /kept HTTP/1.1\r\n\r\n");
    auto handedOver = kept_->get_future();
    ASSERT_EQ(handedOver.wait_for(5s), std::future_status::ready);
    ConnectionPtr keptConnection = handedOver.get();
    ASSERT_TRUE(test::eventually([&] { return *slowStarted_ == 1; }));
    const auto before = std::chrono::steady_clock::now();
    running_.reset();                                              // stops and destroys the server
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1000ms);  // waited for the handler
    EXPECT_TRUE(slow.closedByPeer(2s));
    EXPECT_TRUE(kept.closedByPeer(2s));

    // Whoever kept the connection (a planner's answer, say) answers after the server is gone.
    std::promise<bool> written;
    keptConnection->sendRaw("late", true, [&written](bool ok) { written.set_value(ok); });
    auto outcome = written.get_future();
    ASSERT_EQ(outcome.wait_for(1s), std::future_status::ready);
    EXPECT_FALSE(outcome.get());
    keptConnection.reset();  // the last owner lets go: nothing of the server may be touched
}

TEST_F(ServerTest, ARequestOrItsHeadThatTakesTooLongIsClosed) {
    startWith([](ServerOptions& o) {
        o.limits.headerTimeout = 300ms;
        o.limits.requestTimeout = 1500ms;
    });
    LoopbackClient dribbler(port());
    dribbler.send("GET /echo HTTP/1.1\r\n");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(dribbler.closedByPeer(5s));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 1200ms);  // the head's deadline, not the whole request's
    LoopbackClient slowBody(port());
    slowBody.send("POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nab");
    EXPECT_TRUE(slowBody.closedByPeer(5s));
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, NoPeerTakesEveryConnectionStreamOrBodyBuffer) {
    startWith([](ServerOptions& o) {
        o.limits.maxConnections = 6;
        o.limits.maxConnectionsPerPeer = 3;
        o.limits.maxEventStreams = 3;
        o.limits.maxEventStreamsPerPeer = 2;
        o.limits.maxBodyBytesInFlight = 1000;
        o.limits.smallBodyBytes = 100;
    });
    const auto refusedAtOnce = [](LoopbackClient&& client) { return client.closedByPeer(2s); };
    {
        std::vector<LoopbackClient> idle;
        for (int i = 0; i < 3; ++i) {
            idle.emplace_back(port());
        }
        ASSERT_TRUE(test::eventually([&] { return server().openConnectionCount() == 3; }));
        EXPECT_TRUE(refusedAtOnce(LoopbackClient(port())));  // this peer's share is taken
        for (int i = 0; i < 3; ++i) {
            idle.push_back(LoopbackClient::from("127.0.0.2", port()));
        }
        ASSERT_TRUE(test::eventually([&] { return server().openConnectionCount() == 6; }));
        EXPECT_TRUE(refusedAtOnce(LoopbackClient::from("127.0.0.3", port())));  // all are taken
    }
    ASSERT_TRUE(test::eventually([&] { return server().openConnectionCount() == 0; }));

    LoopbackClient first = openStream();
    LoopbackClient second = openStream();
    const std::string events = "GET /events HTTP/1.1\r\n\r\n";
    LoopbackClient third(port());
    third.send(events);
    EXPECT_TRUE(third.readAll().starts_with("HTTP/1.1 503 ERR\r\n"));  // this peer's two
    LoopbackClient other = LoopbackClient::from("127.0.0.2", port());
    other.send(events);
    EXPECT_TRUE(other.readExactly(SSE_HEAD.size()).starts_with("HTTP/1.1 200 OK\r\n"));
    LoopbackClient fourth = LoopbackClient::from("127.0.0.3", port());
    fourth.send(events);
    EXPECT_TRUE(fourth.readAll().starts_with("HTTP/1.1 503 ERR\r\n"));  // all three

    // Bodies held at once: a second one that would pass the budget waits for nothing.
    LoopbackClient holding = LoopbackClient::from("127.0.0.4", port());
    holding.send("POST /echo HTTP/1.1\r\nContent-Length: 800\r\n\r\nabc");
    const std::string over = "POST /echo HTTP/1.1\r\nContent-Length: 300\r\n\r\n";
    EXPECT_TRUE(test::eventually([&] {  // once the held body is counted
        return test::exchangeRemote(port(), over + std::string(300, 'x'))
            .starts_with("HTTP/1.1 503");
    }));
    EXPECT_TRUE(test::exchangeRemote(port(), "POST /echo HTTP/1.1\r\nContent-Length: 90\r\n\r\n" +
                                                 std::string(90, 'x'))
                    .starts_with("HTTP/1.1 200"));  // small ones never wait on large ones
    holding.abort();
    EXPECT_TRUE(test::eventually([&] {
        return test::exchangeRemote(port(), over + std::string(300, 'x'))
            .starts_with("HTTP/1.1 200");
    }));
}

TEST(ServerBinding, RetriesUntilThePortIsFreeAndNeverGivesUpForGood) {
    test::RunningServer holder;  // holds a port until stopped
    holder.start([](const ConnectionPtr&, Request) {});
    std::atomic<int> gaveUp{0};
    ServerOptions options;
    options.port = holder.port();
    options.bindRetryDelay = 20ms;
    options.lastBindAttempt = 3;
    options.slowBindRetryDelay = 100ms;
    options.onBindGaveUp = [&] { ++gaveUp; };
    Server server(options);
    server.start();
    EXPECT_TRUE(test::eventually([&] { return gaveUp == 1; }));
    std::this_thread::sleep_for(300ms);  // a few slow attempts
    EXPECT_EQ(server.listeningPort(), 0);
    holder.server().stop();  // whatever held the port lets it go: the agent heals
    EXPECT_TRUE(test::eventually([&] { return server.listeningPort() == options.port; }));
    EXPECT_EQ(gaveUp, 1);  // said once, not at every slow attempt
}

}  // namespace
}  // namespace td::server
