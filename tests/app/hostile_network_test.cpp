// Attacks the real agent from hostile peers on loopback while a paired phone (127.0.0.2) keeps
// asking it for its configuration. TD_HOSTILE_SCALE=N makes every attack N times larger.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using td::test::LoopbackClient;

const int SCALE = [] {
    const char* value = std::getenv("TD_HOSTILE_SCALE");
    return value ? std::max(1, std::atoi(value)) : 1;
}();

// Hostile peers are 127.0.0.10 and up; `i` picks one of `count` of them.
std::string hostile(int i, int count) {
    return "127.0.0." + std::to_string(10 + i % count);
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class HostileNetwork : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        rlimit limit{};  // the attacks hold well over a thousand sockets
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        support_ = std::make_unique<td::test::TempDir>();
        agent_ = std::make_unique<td::test::AgentProcess>(support_->path());
        pin_ = agent_->pin();
        port_ = agent_->port();
        ASSERT_TRUE(!pin_.empty() && port_ != 0) << agent_->output();
        token_ = agent_->pairPhone();
    }
    static void TearDownTestSuite() { agent_.reset(); }

    // The phone asks every 20 ms, on a thread of its own, throughout each attack.
    void SetUp() override {
        ASSERT_FALSE(token_.empty()) << "the agent did not start, or pairing failed";
        phone_ = std::thread([this] {
            for (; !done_; std::this_thread::sleep_for(20ms)) {
                times_.push_back(phoneRequestMs());
            }
        });
    }
    void TearDown() override {
        if (phone_.joinable()) {
            expectPhoneServed();
        }
    }

    static std::string askFrom(const std::string& address, const std::string& request) {
        LoopbackClient client = LoopbackClient::from(address.c_str(), port_);
        return client.connected() && client.send(request) ? client.readAll(3s) : std::string();
    }
    static std::string pairRequest(const std::string& pin) {
        const std::string body = R"({"pin":")" + pin + "\"}";
        return "POST /api/pair HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }
    // The time the phone waits for its configuration, in ms; negative unless answered 200.
    static double phoneRequestMs() {
        const auto start = Clock::now();
        const std::string answer =
            askFrom("127.0.0.2", "GET /api/config HTTP/1.1\r\nX-TD-Token: " + token_ + "\r\n\r\n");
        return answer.starts_with("HTTP/1.1 200 ") ? msSince(start) : -1;
    }
    // Stops the phone, asks once more, and checks that every answer (`more` too) was a 200
    // within a second, so the agent is alive after the attack; the median time.
    double expectPhoneServed(const std::vector<double>& more = {}) {
        done_ = true;
        phone_.join();
        times_.insert(times_.end(), more.begin(), more.end());
        times_.push_back(phoneRequestMs());
        std::ranges::sort(times_);
        EXPECT_GE(times_.front(), 0) << "the phone was not answered 200";
        EXPECT_LT(times_.back(), 1000) << "the phone's slowest answer, in ms";
        const double median = times_[times_.size() / 2];
        std::printf("  phone: median %.2f ms, slowest %.2f ms, %zu answers\n", median,
                    times_.back(), times_.size());
        return median;
    }

    static inline std::unique_ptr<td::test::TempDir> support_;
    static inline std::unique_ptr<td::test::AgentProcess> agent_;
    static inline std::uint16_t port_ = 0;
    static inline std::string pin_, token_;
    std::atomic<bool> done_{false};
    std::vector<double> times_;
    std::thread phone_;
};

TEST_F(HostileNetwork, HeadersTrickledAByteASecondAreCutOffAtTheHeaderDeadline) {
    const int count = 60 * SCALE;  // ten from each address
    std::vector<LoopbackClient> slow;
    for (int i = 0; i < count; ++i) {
        slow.push_back(LoopbackClient::from(hostile(i, count / 10).c_str(), port_));
        ASSERT_TRUE(slow.back().connected());
    }
    const auto opened = Clock::now();
    const std::string head =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: " + std::string(99, 'a');
    std::vector<double> closedAfter(count, 1e9);
    for (std::size_t second = 0; msSince(opened) < 14'000; ++second) {
        for (int i = 0; i < count; ++i) {
            if (closedAfter[i] == 1e9 && slow[i].closedByPeer(2ms)) {
                closedAfter[i] = msSince(opened);
            } else if (closedAfter[i] == 1e9) {
                slow[i].send(head.substr(second % head.size(), 1));
            }
        }
        if (std::ranges::max(closedAfter) < 1e9) {
            break;
        }
        std::this_thread::sleep_until(opened + (second + 1) * 1s);
    }
    EXPECT_GT(std::ranges::min(closedAfter), 9'000) << "one was not held until the deadline";
    EXPECT_LT(std::ranges::max(closedAfter), 12'500) << "one outlived the deadline";
}

TEST_F(HostileNetwork, ConnectionsOpenedAndDroppedByTheThousandLeaveThePhoneServed) {
    const auto start = Clock::now();
    for (int i = 0; i < 10'000 * SCALE; ++i) {
        LoopbackClient dropped = LoopbackClient::from(hostile(i, 16).c_str(), port_);
        ASSERT_TRUE(dropped.connected()) << "after " << i;
        if (i % 2 == 0) {
            dropped.abort();  // the others close with FIN as they go
        }
    }
    std::printf("  %d connections dropped in %.0f ms\n", 10'000 * SCALE, msSince(start));
}

TEST_F(HostileNetwork, GarbageIsRefusedOrDropped) {
    std::mt19937 random(20240611);
    auto bytes = [&](std::size_t n, int lowest) {
        std::string out(n, '\0');
        std::uniform_int_distribution<int> byte(lowest, 255);
        std::ranges::generate(out, [&] { return static_cast<char>(byte(random)); });
        return out;
    };
    const char* lengths[] = {"-1", "99999999999999999999", "2000000", "1x", ""};
    for (int batch = 0; batch < 300 * SCALE; batch += 30) {
        std::vector<std::pair<LoopbackClient, std::string>> sent;
        for (int i = batch; i < batch + 30; ++i) {
            const std::size_t size = random() % 8192, huge = 70'000 + random() % 200'000;
            std::string garbage = i % 5 == 0   ? bytes(size, 0)
                                  : i % 5 == 1 ? bytes(size, 0) + "\r\n\r\n"
                                  : i % 5 == 2 ? "GET / HTTP/1.1\r\nX-" + bytes(huge, 32)
                                  : i % 5 == 3 ? "GET /" + std::string(huge, 'a')
                                               : "POST /api/config HTTP/1.1\r\nContent-Length: " +
                                                     std::string(lengths[i / 5 % 5]) + "\r\n\r\n" +
                                                     bytes(size, 0);
            sent.emplace_back(LoopbackClient::from(hostile(i, 16).c_str(), port_), garbage);
            sent.back().first.send(sent.back().second);  // fails once the agent refused it
            sent.back().first.finishSending();
        }
        for (auto& [client, garbage] : sent) {
            const std::string answer = client.readAll(5s);
            // A head that is not UTF-8 reads as an empty one (GET /), so some get the page.
            EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 4") ||
                        answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html"))
                << answer.substr(0, 15) << " after "
                << testing::PrintToString(garbage.substr(0, 40));
        }
    }
}

TEST_F(HostileNetwork, GuessingThePinLocksPairingButNotThePairedPhone) {
    std::vector<std::string> statuses;
    for (int i = 0; i < 1000 * SCALE; ++i) {
        std::string wrong = pin_;  // one digit off
        wrong[i % 6] = static_cast<char>('0' + (wrong[i % 6] - '0' + 1 + i / 6 % 9) % 10);
        statuses.push_back(askFrom("127.0.0.3", pairRequest(wrong)).substr(0, 12));
    }
    statuses.push_back(askFrom("127.0.0.3", pairRequest(pin_)).substr(0, 12));
    std::vector<std::string> expected(5, "HTTP/1.1 401");
    expected.resize(statuses.size(), "HTTP/1.1 423");
    EXPECT_EQ(statuses, expected);
}

TEST_F(HostileNetwork, AThousandIdleConnectionsBarelySlowThePhone) {
    const int count = std::min(1000 * SCALE, 3000);  // past that the total cap turns phones away
    std::vector<LoopbackClient> idle;
    for (int i = 0; i < count; ++i) {  // 50 from each address, under the cap per peer
        idle.push_back(LoopbackClient::from(hostile(i, count / 50 + 1).c_str(), port_));
    }
    std::vector<double> times;
    for (int i = 0; i < 50 * SCALE; ++i) {
        times.push_back(phoneRequestMs());
    }
    EXPECT_LT(expectPhoneServed(times), 200) << "the median, in ms";
    for (std::size_t i = 0; i < idle.size(); i += 10) {
        EXPECT_TRUE(idle[i].silentFor(2ms)) << "idle connection " << i << " was dropped early";
    }
}

}  // namespace
