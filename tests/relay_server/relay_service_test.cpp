#include "relay_server/relay_service.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "net/https_client.hpp"
#include "support/test_tls.hpp"

namespace td::relay_server {
namespace {

using namespace std::chrono_literals;
using relay::ReplyEnvelope;
using relay::RequestEnvelope;

// An agent of the test's own on the relay's socket: it answers each request as `respond` says,
// or not at all when that gives nothing.
class FakeAgent {
  public:
    using Respond = std::function<std::optional<ReplyEnvelope>(const RequestEnvelope&)>;

    FakeAgent(net::HttpsClient& client, std::uint16_t port, const std::string& id, Respond respond)
        : respond_(std::move(respond)) {
        net::WebSocketHandlers handlers;
        handlers.onEnd = [this](const std::string&) {
            ended_ = true;
            if (!openedOnce_.exchange(true)) {
                opened_.set_value(false);
            }
        };
        handlers.onText = [this](std::string text) { onRequest(text); };
        handlers.onOpen = [this] {
            if (!openedOnce_.exchange(true)) {
                opened_.set_value(true);
            }
        };
        std::lock_guard lock(mutex_);
        socket_ = client.openWebSocket(
            "wss://127.0.0.1:" + std::to_string(port) + "/mac/ws?id=" + id, handlers);
    }
    ~FakeAgent() { socket_->close(); }

    bool opened() {
        auto future = opened_.get_future();
        return future.wait_for(10s) == std::future_status::ready && future.get();
    }
    bool ended() const { return ended_; }
    std::vector<RequestEnvelope> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    void onRequest(const std::string& text) {
        auto envelope = relay::readRequestEnvelope(text);
        ASSERT_TRUE(envelope) << text;
        std::lock_guard lock(mutex_);
        seen_.push_back(*envelope);
        if (auto reply = respond_(*envelope)) {
            socket_->sendText(relay::writeReplyEnvelope(*reply));
        }
    }

    Respond respond_;
    std::promise<bool> opened_;
    std::atomic<bool> openedOnce_{false};
    std::atomic<bool> ended_{false};
    mutable std::mutex mutex_;
    std::shared_ptr<net::WebSocket> socket_;
    std::vector<RequestEnvelope> seen_;
};

class RelayServiceTest : public ::testing::Test {
  protected:
    void startRelay(RelayOptions options = {}) {
        options.address = "127.0.0.1";
        options.port = 0;
        options.certFile = pki.certFile();
        options.keyFile = pki.keyFile();
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

    test::TestPki pki;
    net::HttpsClient client{net::TlsTrust{pki.caFile()}};
    std::unique_ptr<RelayService> relay;
};

TEST(RelayRoutes, TellAgentsPhonesAndEverythingElseApart) {
    struct Row {
        const char* target;
        Route::Kind kind;
        const char* id;
        const char* rest;
    };
    const std::string longId(129, 'a');
    const std::vector<Row> rows = {
        {"/healthz", Route::Kind::health, "", ""},
        {"/mac/ws?id=AB-12", Route::Kind::agentSocket, "AB-12", ""},
        {"/mac/ws?x=1&id=AB", Route::Kind::agentSocket, "AB", ""},
        {"/mac/ws?id=a_b", Route::Kind::badAgentId, "", ""},
        {"/mac/ws", Route::Kind::badAgentId, "", ""},
        {"/phone/AB", Route::Kind::phoneRedirect, "AB", "/phone/AB/"},
        {"/phone/AB?pair=1", Route::Kind::phoneRedirect, "AB", "/phone/AB/?pair=1"},
        {"/phone/AB/", Route::Kind::phone, "AB", "/"},
        {"/phone/AB/api/config?x=/y", Route::Kind::phone, "AB", "/api/config?x=/y"},
        {"/phone//api", Route::Kind::notFound, "", ""},
        {"/phone/a.b/", Route::Kind::notFound, "", ""},
        {"/phoneAB/", Route::Kind::notFound, "", ""},
        {"/", Route::Kind::notFound, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target);
        const Route route = routeFor(row.target);
        EXPECT_EQ(route.kind, row.kind);
        EXPECT_EQ(route.id, row.id);
        EXPECT_EQ(route.rest, row.rest);
    }
    EXPECT_EQ(routeFor("/phone/" + longId + "/").kind, Route::Kind::notFound);
    EXPECT_EQ(routeFor("/phone/" + longId.substr(1) + "/").kind, Route::Kind::phone);
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
    FakeAgent agent(client, relay->port(), "A1", [&png](const RequestEnvelope& request) {
        return ReplyEnvelope{request.reqId, 201, "image/png", png};
    });
    ASSERT_TRUE(agent.opened());
    FakeAgent misnamed(client, relay->port(), "a_1",
                       [](const RequestEnvelope&) { return std::nullopt; });
    EXPECT_FALSE(misnamed.opened());

    const auto answer =
        fetch("POST", "/phone/A1/api/pair?x=1", R"({"pin":"1"})",
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

    EXPECT_EQ(fetch("POST", "/phone/A1/api/type", "\xff\xfe").status, 400);
    EXPECT_EQ(fetch("POST", "/phone/A1/api/type", std::string(1001, 'a')).status, 413);
    EXPECT_EQ(agent.seen().size(), 1u);  // neither reached the agent
}

TEST_F(RelayServiceTest, BoundsHowLongAndHowManyRequestsWaitOnOneAgent) {
    RelayOptions options;
    options.replyTimeout = 1s;
    startRelay(options);
    FakeAgent silent(client, relay->port(), "S",
                     [](const RequestEnvelope&) { return std::nullopt; });
    ASSERT_TRUE(silent.opened());
    std::vector<std::future<net::HttpResponse>> waiting;
    for (int i = 0; i < 65; ++i) {
        waiting.push_back(fetchLater("GET", "/phone/S/api/config"));
    }
    std::map<int, int> statuses;
    for (auto& answer : waiting) {
        ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
        ++statuses[answer.get().status];
    }
    EXPECT_EQ(statuses, (std::map<int, int>{{503, 1}, {504, 64}}));
    EXPECT_EQ(fetch("GET", "/phone/S/api/config").status, 504);  // the slots are free again
}

TEST_F(RelayServiceTest, ASecondAgentWithTheSameIdReplacesTheFirst) {
    startRelay();
    auto first = std::make_unique<FakeAgent>(client, relay->port(), "SAME",
                                             [](const RequestEnvelope&) { return std::nullopt; });
    ASSERT_TRUE(first->opened());
    auto waitingOnFirst = fetchLater("GET", "/phone/SAME/api/config");
    for (int i = 0; i < 500 && first->seen().empty(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    FakeAgent second(client, relay->port(), "SAME", [](const RequestEnvelope& request) {
        return ReplyEnvelope{request.reqId, 200, "text/plain", "second"};
    });
    ASSERT_TRUE(second.opened());
    ASSERT_EQ(waitingOnFirst.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waitingOnFirst.get().status, 502);  // its agent went away
    EXPECT_EQ(fetch("GET", "/phone/SAME/x").body, "second");
    for (int i = 0; i < 100 && !first->ended(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(first->ended());
    first.reset();
    EXPECT_EQ(relay->agentCount(), 1u);
    EXPECT_EQ(fetch("GET", "/phone/SAME/x").body, "second");
}

}  // namespace
}  // namespace td::relay_server
