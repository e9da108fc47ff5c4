// Opens COUNT agent sockets to a relay, as COUNT agents would, and holds them open, idle, so that
// bench/relay_memory.sh can weigh what the relay keeps per agent.
//
//   relay_agents_bench CA_FILE PORT COUNT
//
// Connects wss://127.0.0.1:PORT/mac/ws?id=bench-K (K = 1..COUNT), trusting only CA_FILE; prints
// "opened N of COUNT" once every socket opened or failed (or after 120 s), then holds the open
// ones until standard input closes, SIGINT or SIGTERM.
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/https_client.hpp"

namespace {

// Sockets being opened at once: agents coming back after a relay restart arrive over some
// moments, not all in one.
constexpr int OPENING_AT_ONCE = 64;
// Opening them all takes a few seconds here; past this bound the count is printed as it is.
constexpr auto OPEN_BOUND = std::chrono::seconds(120);

struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    int opened = 0;
    int failed = 0;  // ended before opening
    int lost = 0;    // ended after opening
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CA_FILE PORT COUNT\n", argv[0]);
        return 2;
    }
    const std::string caFile = argv[1];
    const std::string port = argv[2];
    const int count = std::stoi(argv[3]);

    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    td::net::HttpsClient client(td::net::TlsTrust{caFile});
    Tally tally;
    std::vector<std::shared_ptr<td::net::WebSocket>> sockets;
    sockets.reserve(count);

    const auto deadline = std::chrono::steady_clock::now() + OPEN_BOUND;
    for (int k = 1; k <= count; ++k) {
        {
            std::unique_lock lock(tally.mutex);
            const bool room = tally.changed.wait_until(lock, deadline, [&] {
                return k - 1 - tally.opened - tally.failed < OPENING_AT_ONCE;
            });
            if (!room) {
                break;
            }
        }
        auto wasOpen = std::make_shared<bool>(false);  // touched on the client's thread only
        td::net::WebSocketHandlers handlers;
        handlers.onOpen = [&tally, wasOpen] {
            *wasOpen = true;
            std::lock_guard lock(tally.mutex);
            ++tally.opened;
            tally.changed.notify_all();
        };
        handlers.onEnd = [&tally, wasOpen, k](const std::string& why) {
            std::lock_guard lock(tally.mutex);
            if (*wasOpen) {
                ++tally.lost;
            } else if (++tally.failed == 1) {
                std::fprintf(stderr, "socket %d did not open: %s\n", k, why.c_str());
            }
            tally.changed.notify_all();
        };
        sockets.push_back(client.openWebSocket(
            "wss://127.0.0.1:" + port + "/mac/ws?id=bench-" + std::to_string(k), handlers));
    }
    {
        std::unique_lock lock(tally.mutex);
        const int started = static_cast<int>(sockets.size());
        tally.changed.wait_until(lock, deadline,
                                 [&] { return tally.opened + tally.failed >= started; });
        std::printf("opened %d of %d\n", tally.opened - tally.lost, count);
        std::fflush(stdout);
    }

    std::thread([] {
        char chunk[256];
        while (::read(STDIN_FILENO, chunk, sizeof chunk) > 0) {
        }
        ::kill(::getpid(), SIGTERM);
    }).detach();
    int received = 0;
    sigwait(&stopSignals, &received);

    client.stop();
    if (tally.lost > 0) {
        std::fprintf(stderr, "%d sockets were lost while held\n", tally.lost);
    }
    return 0;
}
