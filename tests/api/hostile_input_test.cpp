// Callers that are not who they seem, and bodies built to cost the agent: each is refused by
// what can be known before the cost, and the agent goes on serving.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_fixture.hpp"
#include "support/loopback_client.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using namespace std::chrono_literals;

std::string post(const std::string& path, std::size_t length, const std::string& host) {
    return "POST " + path + " HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string nested(std::size_t depth) {
    return R"({"pages":[],"steps":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

TEST(HostileBodies, AreRefusedByTheirSizeOrDepthAndNothingIsKept) {
    ApiFixture api;
    const std::uint16_t port = api.listen();
    const std::string local = "127.0.0.1:" + std::to_string(port);

    // 8 MiB to an open endpoint: refused from the head alone, before any of it is read.
    auto phone = test::LoopbackClient::from("127.0.0.2", port);
    phone.send(post("/api/pair-code", 8 * 1024 * 1024, "x"));
    EXPECT_TRUE(phone.readAll(2s).starts_with("HTTP/1.1 413 ERR\r\n"));
    // The configuration takes up to 1 MiB.
    const std::string name(1024 * 1024 - 40, 'n');
    const std::string large = R"({"pages":[{"name":")" + name + R"("}],"settings":{}})";
    EXPECT_TRUE(test::exchange(port, post("/api/config", large.size(), local) + large)
                    .starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(test::exchange(port, post("/api/config", 1024 * 1024 + 1, local) + large + "xx")
                    .starts_with("HTTP/1.1 413 ERR\r\n"));

    // Nested 30,000 deep: copying or writing it would overflow the stack.
    const Json before = api.store().snapshotConfig();
    const std::string token = api.pairedToken();
    for (const auto& answer : {api.local("POST", "/api/config", nested(30'000)),
                               api.local("POST", "/api/flows", nested(30'000)),
                               api.withToken("POST", "/api/run-plan", token, nested(30'000))}) {
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "Body nested too deep"}}));
    }
    // 100,000 members in one object (1 MiB): read in order, each one searched the ones before.
    std::string wide = R"({"pages":[],"settings":{"0":0)";
    for (int i = 1; i < 100'000; ++i) {
        wide += ",\"" + std::to_string(i) + "\":0";
    }
    wide += "}}";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(api.local("POST", "/api/config", wide).body,
              (Json{{"ok", false}, {"error", "Body has an object too wide"}}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);  // it took 10 s
    EXPECT_EQ(api.store().snapshotConfig(), before);
    EXPECT_EQ(api.local("POST", "/api/config", nested(60)).status, 200);  // deep, but sane
}

// What another account on this computer can reach: only what a phone on the network can.
TEST(OtherUsers, OnThisComputerAreNotThisComputer) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to connect as another user";
    }
    ApiFixture api;
    const std::uint16_t port = api.listen();
    const std::string pin = api.store().pinValue();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    for (const std::string& request : {"GET /api/admin HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
                                       post("/api/set-pin", 15, host) + R"({"pin":"13579"})"}) {
        int answerPipe[2];
        ASSERT_EQ(::pipe(answerPipe), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(answerPipe[0]);
            const bool dropped =
                ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
            const std::string answer = dropped ? test::exchange(port, request) : "not dropped";
            const bool written = ::write(answerPipe[1], answer.data(), answer.size()) > 0;
            ::_exit(written ? 0 : 1);
        }
        ::close(answerPipe[1]);
        std::string answer;
        char buffer[4096];
        for (ssize_t n; (n = ::read(answerPipe[0], buffer, sizeof buffer)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(answerPipe[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(test::bodyOf(answer), R"({"ok":false})") << request;
    }
    EXPECT_EQ(api.store().pinValue(), pin);
    // This user's own request over the same loopback is this computer.
    EXPECT_NE(
        test::bodyOf(test::exchange(port, "GET /api/admin HTTP/1.1\r\nHost: " + host + "\r\n\r\n"))
            .find(pin),
        std::string::npos);
}

}  // namespace
}  // namespace td::api
