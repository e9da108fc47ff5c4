#include "server/server.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "harness.hpp"
#include "server/static_files.hpp"
#include "support/loopback_client.hpp"

namespace td::server {
namespace {

using namespace std::chrono_literals;
using test::exchange;
using test::LoopbackClient;

// Answers by path, so each test can ask for the behaviour it needs.
class TestRouter {
  public:
    explicit TestRouter(Server*& server) : server_(server) {}

    void operator()(const ConnectionPtr& connection, Request request) const {
        if (request.path.starts_with("/echo")) {
            Json headers = Json::object();
            for (const auto& [name, value] : request.headers) {
                headers[name] = value;
            }
            connection->json({{"method", request.method},
                              {"path", request.path},
                              {"query", request.query},
                              {"headers", headers},
                              {"body", request.body},
                              {"isLocal", request.isLocal}});
        } else if (request.path == "/text") {
            const int status =
                std::stoi(request.query.count("status") ? request.query["status"] : "200");
            const std::string extra = request.query.count("extra") ? request.query["extra"] : "";
            connection->send({status, "text/plain", "hi", extra.empty() ? "" : extra + "\r\n"});
        } else if (request.path == "/empty-json") {
            connection->json(Json::object());
        } else if (request.path == "/events") {
            server_->openSSE(connection);
        } else if (request.path == "/slow") {
            server_->runOnWorkPool([connection] {
                std::this_thread::sleep_for(1500ms);
                connection->send({200, "text/plain", "slow", ""});
            });
        } else {
            connection->send(serveStatic(server_->publicDir(), request.path));
        }
    }

  private:
    Server*& server_;
};

class ServerTest : public ::testing::Test {
  protected:
    void startWith(std::function<void(ServerOptions&)> tweak = {}) {
        running_ = std::make_unique<test::RunningServer>(std::move(tweak));
        serverPtr_ = &running_->server();
        running_->start(TestRouter(serverPtr_));
    }
    void SetUp() override { startWith(); }
    void TearDown() override { running_.reset(); }

    std::uint16_t port() const { return running_->port(); }
    Server& server() { return running_->server(); }
    Json echo(std::string_view request) {
        return Json::parse(test::bodyOf(exchange(port(), request)), nullptr, false);
    }
    bool stillServing() {
        return exchange(port(), "GET /text HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nhi");
    }

    Server* serverPtr_ = nullptr;
    std::unique_ptr<test::RunningServer> running_;
};

TEST_F(ServerTest, WireFormatIsExact) {
    EXPECT_EQ(exchange(port(), "GET /text HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\nhi");
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
        "Cache-Control: public, max-age=604800\r\nConnection: close\r\n\r\nhi");
    EXPECT_EQ(exchange(port(), "GET /empty-json HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\n{}");
    EXPECT_EQ(exchange(port(), "GET /nothing-here HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 404 ERR\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
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
    EXPECT_EQ(answer["query"]["a"], "1");
}

TEST_F(ServerTest, IncompleteRequestsAreClosedWithoutAnAnswer) {
    for (std::string partial : {"POST /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc",
                                "GET /echo HTTP/1.1\r\nHost: x\r\n", ""}) {
        LoopbackClient client(port());
        client.send(partial);
        client.finishSending();
        EXPECT_EQ(client.readAll(), "") << partial;
    }
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, PipelinedBytesAreNeverReadOrAnswered) {
    LoopbackClient client(port());
    client.send("GET /text HTTP/1.1\r\n\r\nGET /echo HTTP/1.1\r\n\r\nGET /echo HTTP/1.1\r\n\r\n");
    const std::string answer = client.readAll();
    EXPECT_TRUE(answer.ends_with("\r\n\r\nhi")) << answer;
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos);
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

TEST_F(ServerTest, OddTargetsOverTheWire) {
    const Json raw = echo("GET /echo%zz?a=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(raw["path"], "/echo%zz?a=1");  // not a URI reference: kept as sent
    EXPECT_EQ(raw["query"], Json::object());
    EXPECT_EQ(exchange(port(), "GET /%2e%2e/etc/passwd HTTP/1.1\r\n\r\n").substr(0, 17),
              "HTTP/1.1 404 ERR\r");
    const Json odd = echo("get   /echo?x=a+b&x=c%26d   HTTP/9.9\r\n\r\n");
    EXPECT_EQ(odd["method"], "get");
    EXPECT_EQ(odd["query"]["x"], "c&d");
}

TEST_F(ServerTest, LoopbackPeersAreLocalOverBothFamilies) {
    EXPECT_EQ(echo("GET /echo HTTP/1.1\r\n\r\n")["isLocal"], true);  // arrives as ::ffff:127.0.0.1
    LoopbackClient v6(port(), /*ipv6=*/true);
    if (!v6.connected()) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    v6.send("GET /echo HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Json::parse(test::bodyOf(v6.readAll()))["isLocal"], true);
}

TEST_F(ServerTest, EventStreamHeadGreetingAndBroadcasts) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
        "Connection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string greeting = "d\r\n: connected\n\n\r\n";
    const std::string reload = "17\r\nevent: reload\ndata: 1\n\n\r\n";

    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>(port()));
        clients.back()->send("GET /events HTTP/1.1\r\n\r\n");
        EXPECT_EQ(clients.back()->readExactly(head.size() + greeting.size()), head + greeting);
    }
    ASSERT_TRUE(test::eventually([&] { return server().eventStreamCount() == 3; }));

    clients[0]->send("GET /echo HTTP/1.1\r\n\r\n");  // never read, never answered
    server().broadcastReload();
    for (auto& client : clients) {
        EXPECT_EQ(client->readExactly(reload.size()), reload);
    }
    EXPECT_TRUE(clients[0]->silentFor(200ms));

    // A client that vanished is dropped at the first write that fails; the others stay.
    clients[1]->abort();
    EXPECT_TRUE(test::eventually([&] {
        server().broadcast(":\n\n");
        return server().eventStreamCount() == 2;
    }));
    EXPECT_EQ(clients[2]->readExactly(8), "3\r\n:\n\n\r\n");
}

TEST_F(ServerTest, KeepAliveReachesEveryStream) {
    startWith([](ServerOptions& o) { o.keepAliveInterval = 100ms; });
    LoopbackClient client(port());
    client.send("GET /events HTTP/1.1\r\n\r\n");
    const std::string start = client.readExactly(SSE_HEAD.size() + sseChunk(SSE_GREETING).size());
    EXPECT_TRUE(start.ends_with(": connected\n\n\r\n")) << start;
    EXPECT_EQ(client.readExactly(8, 3s), "3\r\n:\n\n\r\n");
    EXPECT_EQ(client.readExactly(8, 3s), "3\r\n:\n\n\r\n");
}

TEST_F(ServerTest, SlowReaderOfAStreamIsDroppedNotBuffered) {
    startWith([](ServerOptions& o) { o.limits.maxStreamBacklog = 256 * 1024; });
    LoopbackClient client(port());
    client.send("GET /events HTTP/1.1\r\n\r\n");
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
            if (exchange(port(), "GET /slow HTTP/1.1\r\n\r\n").ends_with("slow")) {
                ++slowAnswers;
            }
        });
    }
    std::this_thread::sleep_for(100ms);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(stillServing());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1200ms);  // the blocked ones take 1500 ms
    for (auto& t : slow) {
        t.join();
    }
    EXPECT_EQ(slowAnswers, 3);  // all three ran side by side within the client's wait
}

TEST_F(ServerTest, OversizedHeadAndBodyAreRefusedAndServingGoesOn) {
    const std::string bigHead = "GET / HTTP/1.1\r\nX: " + std::string(70 * 1024, 'a') + "\r\n\r\n";
    const std::string refusedHead = exchange(port(), bigHead);
    EXPECT_TRUE(refusedHead.starts_with("HTTP/1.1 431 ERR\r\n")) << refusedHead.substr(0, 40);
    EXPECT_EQ(test::bodyOf(refusedHead), R"({"ok":false})");

    LoopbackClient client(port());
    client.send("POST /echo HTTP/1.1\r\nContent-Length: 9000000\r\n\r\n");
    client.send(std::string(100'000, 'z'));
    EXPECT_TRUE(client.readAll().starts_with("HTTP/1.1 413 ERR\r\n"));
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, NegativeLengthClosesTheConnection) {
    LoopbackClient client(port());
    client.send("POST /echo HTTP/1.1\r\nContent-Length: -3\r\n\r\nabc");
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, RequestThatTakesTooLongIsClosed) {
    startWith([](ServerOptions& o) { o.limits.requestTimeout = 300ms; });
    LoopbackClient dribbler(port());
    dribbler.send("GET /echo HTTP/1.1\r\n");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(dribbler.closedByPeer(5s));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 200ms);
    EXPECT_TRUE(stillServing());
}

TEST_F(ServerTest, ConnectionsPastTheCapAreClosedAtOnce) {
    startWith([](ServerOptions& o) {
        o.limits.maxConnections = 4;
        o.limits.maxEventStreams = 2;
    });
    {
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < 4; ++i) {
            idle.push_back(std::make_unique<LoopbackClient>(port()));
        }
        ASSERT_TRUE(test::eventually([&] { return server().openConnectionCount() == 4; }));
        LoopbackClient extra(port());
        EXPECT_TRUE(extra.closedByPeer(2s));
    }
    ASSERT_TRUE(test::eventually([&] { return server().openConnectionCount() == 0; }));
    EXPECT_TRUE(stillServing());

    LoopbackClient first(port()), second(port()), third(port());
    for (auto* c : {&first, &second}) {
        c->send("GET /events HTTP/1.1\r\n\r\n");
        ASSERT_FALSE(c->readExactly(10).empty());
    }
    third.send("GET /events HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(third.readAll().starts_with("HTTP/1.1 503 ERR\r\n"));
}

// A listening socket that holds a port until released.
class PortHolder {
  public:
    PortHolder() {
        fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int off = 0;
        ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_any;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin6_port);
    }
    ~PortHolder() { release(); }
    void release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

TEST(ServerBinding, RetriesUntilThePortIsFreeThenGivesUp) {
    PortHolder holder;
    std::atomic<bool> gaveUp{false};
    ServerOptions options;
    options.port = holder.port();
    options.bindRetryDelay = 100ms;
    options.onBindGaveUp = [&] { gaveUp = true; };
    Server server(options);
    server.start();
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(server.listeningPort(), 0);
    holder.release();
    EXPECT_TRUE(test::eventually([&] { return server.listeningPort() == options.port; }));
    EXPECT_FALSE(gaveUp);

    PortHolder busy;
    ServerOptions hopeless;
    hopeless.port = busy.port();
    hopeless.bindRetryDelay = 20ms;
    hopeless.lastBindAttempt = 3;
    hopeless.onBindGaveUp = [&] { gaveUp = true; };
    Server never(hopeless);
    never.start();
    EXPECT_TRUE(test::eventually([&] { return gaveUp.load(); }));
    EXPECT_EQ(never.listeningPort(), 0);
}

}  // namespace
}  // namespace td::server
