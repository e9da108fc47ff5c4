#include "net/https_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "support/test_tls.hpp"

namespace td::net {
namespace {

using namespace std::chrono_literals;

HttpRequest get(std::string url) {
    HttpRequest request;
    request.url = std::move(url);
    return request;
}
using test::ScriptedServer;

class HttpsClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pki = new test::TestPki(); }
    static void TearDownTestSuite() { delete pki; }
    void SetUp() override { clientHolder = std::make_unique<HttpsClient>(TlsTrust{pki->caFile()}); }
    HttpsClient& client() { return *clientHolder; }

    // Sends and waits (bounded) for the one answer.
    HttpResponse fetch(HttpRequest request) {
        std::promise<HttpResponse> answer;
        client().send(std::move(request),
                      [&answer](HttpResponse r) { answer.set_value(std::move(r)); });
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    }
    ScriptedServer tlsServer(ScriptedServer::Behaviour behaviour, const std::string& reply = "",
                             bool otherHost = false) {
        return ScriptedServer(behaviour, reply,
                              otherHost ? pki->otherHostCertFile() : pki->certFile(),
                              otherHost ? pki->otherHostKeyFile() : pki->keyFile());
    }

    static inline test::TestPki* pki = nullptr;
    std::unique_ptr<HttpsClient> clientHolder;
};

TEST_F(HttpsClientTest, VerifiedExchangeByAddressAndByName) {
    ScriptedServer server(ScriptedServer::Behaviour::reply, test::httpReply(201, "{\"a\":1}"),
                          pki->certFile(), pki->keyFile());
    for (std::string host : {"127.0.0.1", "localhost"}) {
        const auto response =
            fetch({"POST",
                   "https://" + host + ":" + std::to_string(server.port()) + "/v1/messages?x=1",
                   {{"x-api-key", "k"}, {"content-type", "application/json"}},
                   "{\"q\":2}"});
        EXPECT_TRUE(response.delivered) << response.error;
        EXPECT_EQ(response.status, 201);
        EXPECT_EQ(response.contentType, "application/json");
        EXPECT_EQ(response.body, "{\"a\":1}");
    }
    const std::string seen = server.requests().at(0);
    EXPECT_TRUE(seen.starts_with("POST /v1/messages?x=1 HTTP/1.1\r\n")) << seen;
    EXPECT_NE(seen.find("\r\nx-api-key: k\r\n"), std::string::npos);
    EXPECT_TRUE(seen.ends_with("\r\n\r\n{\"q\":2}"));
}

// Every client that speaks TLS for the agent, each asked to fetch from `url`; true when it got
// through. A client added later joins this list, and so this test.
std::vector<std::pair<std::string, std::function<bool(const std::string& url)>>> verifyingClients(
    const test::TestPki& pki) {
    return {
        {"HTTPS client",
         [&pki](const std::string& url) {
             HttpsClient client(TlsTrust{pki.caFile()});
             std::promise<HttpResponse> answer;
             client.send(HttpRequest{"GET", url, {}, {}},
                         [&answer](HttpResponse r) { answer.set_value(std::move(r)); });
             auto future = answer.get_future();
             return future.wait_for(20s) == std::future_status::ready && future.get().delivered;
         }},
        // The scripted servers answer no upgrade: getting as far as asking for one is through.
        {"WSS client",
         [&pki](const std::string& url) {
             HttpsClient client(TlsTrust{pki.caFile()});
             auto through = std::make_shared<std::promise<bool>>();
             WebSocketHandlers handlers;
             handlers.onOpen = [through] { through->set_value(true); };
             handlers.onEnd = [through](const std::string& why) {
                 through->set_value(why.starts_with("WebSocket upgrade failed"));
             };
             auto socket = client.openWebSocket("wss://" + url.substr(8), handlers);
             auto future = through->get_future();
             const bool passed = future.wait_for(20s) == std::future_status::ready && future.get();
             socket->close();
             return passed;
         }},
    };
}

TEST_F(HttpsClientTest, EveryClientRefusesAWrongCertificate) {
    ScriptedServer wrongHost(ScriptedServer::Behaviour::reply, test::httpReply(200, "secret"),
                             pki->otherHostCertFile(), pki->otherHostKeyFile());
    test::TestPki stranger;  // an authority the clients do not trust
    ScriptedServer unknown(ScriptedServer::Behaviour::reply, test::httpReply(200, "secret"),
                           stranger.certFile(), stranger.keyFile());
    ScriptedServer good(ScriptedServer::Behaviour::reply, test::httpReply(200, "fine"),
                        pki->certFile(), pki->keyFile());
    for (const auto& [name, fetches] : verifyingClients(*pki)) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(fetches("https://127.0.0.1:" + std::to_string(wrongHost.port()) + "/"));
        EXPECT_FALSE(fetches("https://localhost:" + std::to_string(wrongHost.port()) + "/"));
        EXPECT_FALSE(fetches("https://localhost:" + std::to_string(unknown.port()) + "/"));
        EXPECT_TRUE(fetches("https://localhost:" + std::to_string(good.port()) + "/"));
    }
    EXPECT_TRUE(wrongHost.requests().empty());
    EXPECT_TRUE(unknown.requests().empty());
}

TEST_F(HttpsClientTest, PlainHttpOnlyWhenExplicitlyAllowed) {
    ScriptedServer plain(ScriptedServer::Behaviour::reply, test::httpReply(200, "ok"));
    const std::string url = "http://127.0.0.1:" + std::to_string(plain.port()) + "/latest.json";
    HttpRequest request = get(url);
    EXPECT_FALSE(fetch(request).delivered);
    EXPECT_TRUE(plain.requests().empty());
    request.allowPlainHttp = true;
    EXPECT_EQ(fetch(request).body, "ok");
    for (std::string bad : {"ftp://127.0.0.1/x", "not a url", "https:///nohost"}) {
        EXPECT_FALSE(fetch(get(bad)).delivered) << bad;
    }
}

TEST_F(HttpsClientTest, ExactlyOneCompletionWhateverHappens) {
    ScriptedServer silent = tlsServer(ScriptedServer::Behaviour::hang);
    ScriptedServer dropping = tlsServer(ScriptedServer::Behaviour::drop);
    std::atomic<int> completions{0};
    std::atomic<int> delivered{0};
    const auto before = std::chrono::steady_clock::now();
    std::promise<void> allDone;
    const int expected = 3;
    auto count = [&](HttpResponse r) {
        delivered += r.delivered;
        if (++completions == expected) {
            allDone.set_value();
        }
    };
    client().send(
        {"GET", "https://127.0.0.1:" + std::to_string(silent.port()) + "/", {}, "", 300ms}, count);
    client().send({"GET", "https://127.0.0.1:" + std::to_string(dropping.port()) + "/", {}, "", 5s},
                  count);
    client().send({"GET", "https://127.0.0.1:1/", {}, "", 5s}, count);  // nothing listens
    ASSERT_EQ(allDone.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    std::this_thread::sleep_for(400ms);  // late events must not call again
    EXPECT_EQ(completions, expected);
    EXPECT_EQ(delivered, 0);
}

}  // namespace
}  // namespace td::net
