// The touchpad's path timed where it ends, on the X server, for bench/pointer_latency.sh:
//
//   pointer_latency_bench PORT TOKEN COUNT
//
// With a window over the whole screen that sees the pointer's motion, against the agent on
// 127.0.0.1:PORT paired with TOKEN: COUNT OPTIONS / round trips (the request that does nothing);
// COUNT one-move WebSocket messages, each timed from its send to the X server's motion event,
// then 100,000 events sent back to back in messages of 32 (at most 64 not yet applied),
// timed until all were applied; and the same
// COUNT moves as POST /api/pointer. Moves alternate by one pixel right and left.
#include <X11/Xlib.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Send = std::function<void(const std::string& events)>;

// The horizontal positions the pointer reaches, as the X server reports them, read by a thread
// that alone uses the display once the window is up.
class MotionWatch {
  public:
    int open() {
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            return -1;
        }
        const int screen = DefaultScreen(display);
        const int width = DisplayWidth(display, screen);
        const int height = DisplayHeight(display, screen);
        const Window window =
            XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, width, height, 0, 0, 0);
        XSelectInput(display, window, PointerMotionMask | StructureNotifyMask);
        XMapRaised(display, window);
        for (XEvent event{}; event.type != MapNotify;) {
            XNextEvent(display, &event);
        }
        XWarpPointer(display, None, window, 0, 0, 0, 0, width / 2, height / 2);
        XSync(display, False);
        std::thread([this, display] {
            for (XEvent event;;) {
                XNextEvent(display, &event);
                if (event.type != MotionNotify) {
                    continue;
                }
                std::lock_guard lock(mutex_);
                ++motions_;
                seen_.emplace_back(Clock::now(), event.xmotion.x_root);
                changed_.notify_all();
            }
        }).detach();
        return width / 2;
    }

    // When the pointer reached `x`, skipping earlier positions; nothing after 5 s.
    std::optional<Clock::time_point> reached(int x) {
        std::unique_lock lock(mutex_);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            for (; !seen_.empty(); seen_.pop_front()) {
                if (seen_.front().second == x) {
                    return seen_.front().first;
                }
            }
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return std::nullopt;
            }
        }
    }

    // Waits until `count` motions were seen in all; false after 5 s without one.
    bool waitForMotions(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return motions_ >= count; });
    }

    void forget() {
        std::lock_guard lock(mutex_);
        seen_.clear();
    }

    std::size_t motions() {
        std::lock_guard lock(mutex_);
        return motions_;
    }

  private:
    std::mutex mutex_;
    std::size_t motions_ = 0;
    std::condition_variable changed_;
    std::deque<std::pair<Clock::time_point, int>> seen_;
};

double msBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

void printFigures(const char* what, std::vector<double> ms, const std::string& more = "") {
    std::sort(ms.begin(), ms.end());
    std::printf("%-28s median %6.3f ms  p99 %6.3f ms%s\n", what, ms[ms.size() / 2],
                ms[ms.size() * 99 / 100], more.c_str());
}

std::string move(int dx) {
    return "[[\"move\"," + std::to_string(dx) + ",0]]";
}

struct Bench {
    asio::io_context io;
    std::string port;
    std::string token;
    int count;
    MotionWatch watch;
    int x = 0;

    tcp::socket connected() {
        tcp::socket socket(io);
        asio::connect(socket, tcp::resolver(io).resolve("127.0.0.1", port));
        socket.set_option(tcp::no_delay(true));
        return socket;
    }

    unsigned exchange(http::verb verb, const char* target, const std::string& body = "") {
        tcp::socket socket = connected();
        http::request<http::string_body> request(verb, target, 11);
        request.set(http::field::host, "127.0.0.1");
        request.set("X-TD-Token", token);
        request.body() = body;
        request.prepare_payload();
        http::write(socket, request);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response.result_int();
    }

    // COUNT moves, each timed from its send to its motion; false when one never arrives.
    bool timeMoves(const char* what, const Send& send) {
        std::vector<double> ms;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int dx = i % 2 == 0 ? 1 : -1;
            x += dx;
            const auto sent = Clock::now();
            send(move(dx));
            const auto seen = watch.reached(x);
            if (!seen) {
                return false;
            }
            ms.push_back(msBetween(sent, *seen));
        }
        const double seconds = msBetween(start, Clock::now()) / 1000;
        printFigures(what, ms, "  (" + std::to_string(int(count / seconds)) + " a second)");
        return true;
    }

    bool overTheSocket() {
        websocket::stream<tcp::socket> socket(connected());
        socket.set_option(websocket::stream_base::decorator([this](websocket::request_type& head) {
            head.set(http::field::sec_websocket_protocol,
                     "tapdeck-pointer, tapdeck-token." + token);
        }));
        socket.handshake("127.0.0.1", "/api/pointer");
        const Send send = [&socket](const std::string& events) {
            socket.write(asio::buffer(events));
        };
        if (!timeMoves("WebSocket message to motion", send)) {
            return false;
        }
        // Back to back, messages of 32 events, at most 64 events not yet seen as motions: a
        // phone that sent far more would see its moves summed, or dropped past the agent's bound.
        constexpr std::size_t BATCH = 32;
        constexpr std::size_t WINDOW = 64;
        constexpr std::size_t FLOOD = 100'000;
        std::string pairs;
        for (std::size_t i = 0; i < BATCH / 2; ++i) {
            pairs += std::string(i ? "," : "") + R"(["move",1,0],["move",-1,0])";
        }
        const std::size_t base = watch.motions();
        const auto start = Clock::now();
        for (std::size_t sent = 0; sent < FLOOD; sent += BATCH) {
            if (sent + BATCH > WINDOW && !watch.waitForMotions(base + sent + BATCH - WINDOW)) {
                return false;
            }
            send("[" + pairs + "]");
        }
        if (!watch.waitForMotions(base + FLOOD)) {
            return false;
        }
        std::printf("%-28s %8.0f events/s in messages of %zu\n", "WebSocket back to back",
                    FLOOD / (msBetween(start, Clock::now()) / 1000), BATCH);
        watch.forget();
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT TOKEN COUNT\n", argv[0]);
        return 2;
    }
    Bench bench{{}, argv[1], argv[2], std::max(2, std::atoi(argv[3]) / 2 * 2), {}};
    try {
        bench.x = bench.watch.open();
        if (bench.x < 0) {
            std::fprintf(stderr, "no display\n");
            return 1;
        }
        std::vector<double> ms;
        for (int i = 0; i < bench.count; ++i) {
            const auto start = Clock::now();
            bench.exchange(http::verb::options, "/");
            ms.push_back(msBetween(start, Clock::now()));
        }
        printFigures("OPTIONS / (reference)", ms);
        const bool measured =
            bench.overTheSocket() &&
            bench.timeMoves("POST /api/pointer to motion", [&bench](const std::string& events) {
                bench.exchange(http::verb::post, "/api/pointer", "{\"events\":" + events + "}");
            });
        if (!measured) {
            std::fprintf(stderr, "the pointer never reached %d\n", bench.x);
        }
        return measured ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
