#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "support/test_tls.hpp"
#include "update/update_check.hpp"

namespace td::update {
namespace {

using namespace std::chrono_literals;
using test::ScriptedServer;

// Checks once against a server and returns what the completion got, and how often it ran.
std::pair<std::optional<UpdateInfo>, int> checkAgainst(net::HttpsClient& client,
                                                       const std::string& url) {
    std::promise<std::optional<UpdateInfo>> result;
    std::atomic<int> calls{0};
    std::atomic<int> throughMain{0};
    checkForUpdate(
        client, {url, false},
        [&throughMain](std::function<void()> task) {
            ++throughMain;
            task();
        },
        [&](std::optional<UpdateInfo> info) {
            if (++calls == 1) {
                result.set_value(std::move(info));
            }
        });
    auto future = result.get_future();
    EXPECT_EQ(future.wait_for(15s), std::future_status::ready);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(throughMain, calls.load());  // always delivered through the main thread
    return {future.get(), calls.load()};
}

TEST(CheckForUpdate, OverVerifiedHttpsOnce) {
    test::TestPki pki;
    net::HttpsClient client(net::TlsTrust{pki.caFile()});
    ScriptedServer server(ScriptedServer::Behaviour::reply, "", pki.certFile(), pki.keyFile());
    const std::string url = "https://localhost:" + std::to_string(server.port()) + "/latest.json";

    server.setReply(test::httpReply(200, R"({"version":"9.1","url":"https://tapdeck.app/get"})"));
    auto [found, calls] = checkAgainst(client, url);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->version, "9.1");
    EXPECT_EQ(found->notes, "");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(server.requests().at(0).starts_with("GET /latest.json HTTP/1.1\r\n"));

    server.setReply(test::httpReply(200, R"({"version":"0.0.1","url":"https://a.b/"})"));
    EXPECT_FALSE(checkAgainst(client, url).first);
    // An error status with a good manifest body still counts: only the body is read.
    server.setReply(test::httpReply(500, R"({"version":"9.2","url":"https://a.b/"})"));
    EXPECT_TRUE(checkAgainst(client, url).first);

    ScriptedServer dropping(ScriptedServer::Behaviour::drop, "", pki.certFile(), pki.keyFile());
    EXPECT_FALSE(
        checkAgainst(client, "https://localhost:" + std::to_string(dropping.port()) + "/").first);
}

}  // namespace
}  // namespace td::update
