// The touchpad's WebSocket on the agent's own port, against the real agent in a private X
// desktop, its effects seen by a window that prints what the X pointer does.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "support/agent_process.hpp"
#include "support/child_process.hpp"
#include "support/loopback_client.hpp"
#include "support/raw_websocket.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using td::test::RawWebSocket;

class TouchpadSocket : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        support_ = std::make_unique<td::test::TempDir>();
        agent_ = std::make_unique<td::test::AgentProcess>(support_->path());
        port_ = agent_->port();
        token_ = agent_->pairPhone();  // two phones
        otherToken_ = agent_->pairPhone();
        ASSERT_FALSE(token_.empty() || otherToken_.empty()) << agent_->output();
    }
    static void TearDownTestSuite() { agent_.reset(); }

    void SetUp() override {
        ASSERT_FALSE(token_.empty());
        ASSERT_TRUE(observer_.waitForLine(std::regex("ready\n"))) << observer_.output();
    }

    static std::string protocols(const std::string& token) {
        return "Sec-WebSocket-Protocol: tapdeck-pointer, tapdeck-token." + token + "\r\n";
    }
    // The position of the last motion the window saw, once it is `expected` (or 5 s passed).
    std::string pointerAt(const std::string& expected) {
        observer_.waitForLine(std::regex("motion " + expected + "\n"), 5s);
        const std::size_t at = observer_.output().rfind("motion ");
        return at == std::string::npos
                   ? ""
                   : observer_.output().substr(at + 7, observer_.output().find('\n', at) - at - 7);
    }

    td::test::ChildProcess observer_{{KEY_OBSERVER}};
    static inline std::unique_ptr<td::test::TempDir> support_;
    static inline std::unique_ptr<td::test::AgentProcess> agent_;
    static inline std::uint16_t port_ = 0;
    static inline std::string token_;
    static inline std::string otherToken_;
};

// Who may open one is decided before the upgrade; a message that breaks the rules closes it.
TEST_F(TouchpadSocket, OnlyAPairedPhoneOrThisComputerOpensOneAndItMovesThePointer) {
    const auto statusOf = [](const RawWebSocket& socket) { return socket.head().substr(0, 12); };
    // No token (or a wrong one) from a phone; a paired phone that asks for no touchpad.
    EXPECT_EQ(statusOf(RawWebSocket(port_, "/api/pointer", "", "127.0.0.2")), "HTTP/1.1 401");
    EXPECT_EQ(statusOf(RawWebSocket(port_, "/api/pointer", protocols("0123"), "127.0.0.2")),
              "HTTP/1.1 401");
    EXPECT_EQ(statusOf(RawWebSocket(port_, "/api/pointer",
                                    "Sec-WebSocket-Protocol: tapdeck-token." + token_ + "\r\n",
                                    "127.0.0.2")),
              "HTTP/1.1 400");
    // A token offered as a subprotocol counts for an upgrade only.
    EXPECT_EQ(
        td::test::exchangeRemote(port_, "GET /api/config HTTP/1.1\r\n" + protocols(token_) + "\r\n")
            .substr(0, 12),
        "HTTP/1.1 401");
    // This computer itself needs no token.
    EXPECT_EQ(statusOf(RawWebSocket(port_, "/api/pointer",
                                    "Sec-WebSocket-Protocol: tapdeck-pointer\r\n")),
              "HTTP/1.1 101");

    RawWebSocket phone(port_, "/api/pointer", protocols(token_), "127.0.0.2");
    ASSERT_TRUE(phone.upgraded()) << phone.head();
    EXPECT_NE(phone.head().find("Sec-WebSocket-Protocol: tapdeck-pointer\r\n"), std::string::npos);
    phone.send(R"([["move",-5000,-5000],["move",30.5,40]])");
    phone.send(R"([["move",0.5,0]])");
    EXPECT_EQ(pointerAt("31 40"), "31 40");

    phone.send(R"([["move",1,1],["jump",1,1]])");  // nothing of a bad batch is applied
    int opcode = 0;
    const std::string close = phone.readFrame(&opcode);
    EXPECT_EQ(opcode, 8);
    EXPECT_EQ(close.substr(0, 2), std::string("\x03\xf0", 2));  // 1008
    EXPECT_TRUE(phone.closedByPeer(3s));
    EXPECT_EQ(pointerAt("31 40"), "31 40");
}

// Moves sent faster than the pointer takes them all land (the socket is read no faster), and a
// button left down is let go when its socket ends.
TEST_F(TouchpadSocket, NoMoveIsLostAndNoButtonStaysHeld) {
    auto phone = std::make_unique<RawWebSocket>(port_, "/api/pointer", protocols(token_), "127.0.0.2");
    ASSERT_TRUE(phone->upgraded()) << phone->head();
    phone->send(R"([["move",-5000,-5000]])");
    EXPECT_EQ(pointerAt("0 0"), "0 0");
    std::string pixels = "[";
    for (int i = 0; i < 100; ++i) {
        pixels += std::string(i ? "," : "") + R"(["move",1,0])";
    }
    pixels += "]";
    for (int i = 0; i < 10; ++i) {
        phone->send(pixels);
    }
    EXPECT_EQ(pointerAt("1000 0"), "1000 0");
    phone->send(R"([["button","left","down"],["move",30,20]])");
    ASSERT_TRUE(observer_.waitForLine(std::regex("button 1 press\n")));
    phone.reset();  // its TCP connection ends, with no close frame
    EXPECT_TRUE(observer_.waitForLine(std::regex("button 1 release\n"))) << observer_.output();
}

// A phone flooding its sockets slows only itself: another phone's taps are answered at once,
// and a phone holds a few sockets at most, from however many addresses.
TEST_F(TouchpadSocket, AFloodDelaysNoOtherPhone) {
    std::vector<std::unique_ptr<RawWebSocket>> flooders;
    for (int i = 0; i < 4; ++i) {
        const std::string from = "127.0.0." + std::to_string(3 + i);
        flooders.push_back(
            std::make_unique<RawWebSocket>(port_, "/api/pointer", protocols(token_), from.c_str()));
        ASSERT_TRUE(flooders.back()->upgraded()) << flooders.back()->head();
    }
    EXPECT_EQ(
        RawWebSocket(port_, "/api/pointer", protocols(token_), "127.0.0.9").head().substr(0, 12),
        "HTTP/1.1 429");
    std::string batch = "[";
    for (int i = 0; i < 128; ++i) {  // the most events a message may hold
        batch += std::string(i ? "," : "") + R"(["move",1,0],["scroll",0,10000])";
    }
    batch += "]";
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> floods;
    for (auto& flooder : flooders) {
        floods.emplace_back([&done, &sent, &flooder, &batch] {
            while (!done && flooder->send(batch)) {
                ++sent;
            }
        });
    }
    double slowest = 0;
    const std::string events = R"({"events":[["move",0.1,0.1]]})";
    const std::string tap = "POST /api/pointer HTTP/1.1\r\nX-TD-Token: " + otherToken_ +
                            "\r\nContent-Length: " + std::to_string(events.size()) + "\r\n\r\n" +
                            events;
    // A hundred taps, and on until the flood has sent its first 200 messages (51,200 events, half
    // of them scrolls as far as a value may go): past its share it is read only as fast as the
    // pointer takes its events.
    int taps = 0;
    for (; taps < 100 || sent < 200; ++taps) {
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = td::test::exchangeRemote(port_, tap);
        slowest = std::max(slowest, std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
        EXPECT_TRUE(answer.ends_with("\r\n\r\n{\"ok\":true}")) << "[" << answer << "]";
    }
    // Opening a touchpad meanwhile never waits for the flood's batches either.
    const auto opening = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        RawWebSocket(port_, "/api/pointer", protocols(otherToken_), "127.0.0.2").upgraded());
    slowest = std::max(slowest, std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - opening)
                                    .count());
    done = true;
    for (auto& flooder : flooders) {
        flooder->stopSending();
    }
    for (auto& flood : floods) {
        flood.join();
    }
    EXPECT_LT(slowest, 500) << "ms for a tap while four sockets flooded";
    std::printf("  %d taps, the slowest in %.1f ms, while the flood sent %d messages\n", taps,
                slowest, sent.load());
}

}  // namespace
