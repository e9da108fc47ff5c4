// The touchpad's path timed where it ends, on the X server, for bench/pointer_latency.mjs:
//
//   pointer_latency_bench PORT PIN COUNT [RELAY_PORT NAME]
//
// With a window over the whole screen that sees the pointer's motion, against the agent on
// 127.0.0.1:PORT, paired with PIN as a phone (from 127.0.0.2): COUNT OPTIONS / round trips (the
// request that does nothing); COUNT one-move WebSocket messages, each timed from its send to the
// X server's motion event, then 100,000 events sent back to back in messages of 32 (at most 64
// not yet applied), timed until all were applied; and the same COUNT moves as POST
// /api/pointer. Moves alternate by one pixel right and left. Blocking loopback clients of the
// tests' own, so that the client adds as little as it can to what is timed.
//
// With RELAY_PORT and NAME, the WebSocket's moves are timed again through a relay that passes
// TLS unread, to the agent named NAME there: the blocking client speaks to a forwarder in this
// process that ends TLS as a phone would; the same forwarder, plain, to the agent straight, is
// the reference, so that the difference is the relay and the agent's TLS.
#include <X11/Xlib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_client.hpp"
#include "support/raw_websocket.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Send = std::function<void(const std::string& events)>;

// How many motions the X server reported and where the last one left the pointer, read by a
// thread that alone uses the display once the window is up.
class MotionWatch {
  public:
    // The pointer's horizontal position at the start; -1 without a display.
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
                if (event.type == MotionNotify) {
                    std::lock_guard lock(mutex_);
                    ++motions_;
                    x_ = event.xmotion.x_root;
                    at_ = Clock::now();
                    changed_.notify_all();
                }
            }
        }).detach();
        return width / 2;
    }

    // When the last motion came once `done(motions, x)` holds; nothing after 5 s without.
    std::optional<Clock::time_point> until(const std::function<bool(std::size_t, int)>& done) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return done(motions_, x_); })) {
            return std::nullopt;
        }
        return at_;
    }

    std::size_t motions() {
        std::lock_guard lock(mutex_);
        return motions_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t motions_ = 0;
    int x_ = -1;
    Clock::time_point at_;
};

double msBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

void printFigures(const char* what, std::vector<double> ms, const std::string& more = "") {
    std::sort(ms.begin(), ms.end());
    std::printf("%-30s median %6.3f ms  p99 %6.3f ms%s\n", what, ms[ms.size() / 2],
                ms[ms.size() * 99 / 100], more.c_str());
}

std::string post(const std::string& path, const std::string& headers, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

int loopbackSocket(std::uint16_t port, bool listening) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto* at = reinterpret_cast<sockaddr*>(&address);
    if (listening ? ::bind(fd, at, sizeof address) != 0 || ::listen(fd, 8) != 0
                  : ::connect(fd, at, sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Carries each connection made to it to `port`, over TLS naming `name` when one is given (the
// certificate is not checked: the figures matter here, not the trust).
class Forwarder {
  public:
    Forwarder(std::uint16_t port, std::string name) : to_(port), name_(std::move(name)) {
        listener_ = loopbackSocket(0, true);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.sin_port);
        std::thread([this] {
            for (int client;
                 (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                std::thread([this, client] { carry(client); }).detach();
            }
        }).detach();
    }
    std::uint16_t port() const { return port_; }

  private:
    void carry(int client) {
        const int server = loopbackSocket(to_, false);
        SSL* tls = nullptr;
        if (server >= 0 && !name_.empty()) {
            tls = SSL_new(context_);
            SSL_set_tlsext_host_name(tls, name_.c_str());
            SSL_set_fd(tls, server);
            if (SSL_connect(tls) != 1) {
                SSL_free(tls);
                ::close(server);
                ::close(client);
                return;
            }
        }
        char buffer[64 * 1024];
        for (bool open = server >= 0; open;) {
            pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (!(tls && SSL_pending(tls) > 0) && ::poll(both, 2, -1) < 0) {
                break;
            }
            if (both[0].revents) {
                const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                open = got > 0 && (tls ? SSL_write(tls, buffer, int(got)) == got
                                       : ::send(server, buffer, got, MSG_NOSIGNAL) == got);
            }
            if (open && (both[1].revents || (tls && SSL_pending(tls) > 0))) {
                const long got = tls ? SSL_read(tls, buffer, sizeof buffer)
                                     : ::recv(server, buffer, sizeof buffer, 0);
                open = got > 0 && ::send(client, buffer, got, MSG_NOSIGNAL) == got;
            }
        }
        if (tls) {
            SSL_free(tls);
        }
        ::close(server);
        ::close(client);
    }

    const std::uint16_t to_;
    const std::string name_;
    SSL_CTX* context_ = SSL_CTX_new(TLS_client_method());
    int listener_ = -1;
    std::uint16_t port_ = 0;
};

struct Bench {
    std::uint16_t port;
    int count;
    MotionWatch watch;
    int x = 0;

    // COUNT moves, each timed from its send to its motion; false when one never arrives.
    bool timeMoves(const char* what, const Send& send) {
        std::vector<double> ms;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int dx = i % 2 == 0 ? 1 : -1;
            const int target = x += dx;
            const auto sent = Clock::now();
            send("[[\"move\"," + std::to_string(dx) + ",0]]");
            const auto seen = watch.until([target](std::size_t, int at) { return at == target; });
            if (!seen) {
                return false;
            }
            ms.push_back(msBetween(sent, *seen));
        }
        const double seconds = msBetween(start, Clock::now()) / 1000;
        printFigures(what, ms, "  (" + std::to_string(int(count / seconds)) + " a second)");
        return true;
    }

    // Back to back, messages of 32 events, at most 64 events not yet seen as motions: a phone
    // that sent far more would see its moves summed, or dropped past the agent's bound.
    bool flood(const Send& send) {
        constexpr std::size_t BATCH = 32, WINDOW = 64, FLOOD = 100'000;
        std::string pairs;
        for (std::size_t i = 0; i < BATCH / 2; ++i) {
            pairs += std::string(i ? "," : "") + R"(["move",1,0],["move",-1,0])";
        }
        const std::size_t base = watch.motions();
        const auto applied = [&](std::size_t n) {
            return watch.until([&](std::size_t motions, int) { return motions >= base + n; });
        };
        const auto start = Clock::now();
        for (std::size_t sent = 0; sent < FLOOD; sent += BATCH) {
            if (sent + BATCH > WINDOW && !applied(sent + BATCH - WINDOW)) {
                return false;
            }
            send("[" + pairs + "]");
        }
        if (!applied(FLOOD)) {
            return false;
        }
        std::printf("%-30s %8.0f events/s in messages of %zu\n", "WebSocket back to back",
                    FLOOD / (msBetween(start, Clock::now()) / 1000), BATCH);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: %s PORT PIN COUNT [RELAY_PORT NAME]\n", argv[0]);
        return 2;
    }
    Bench bench{static_cast<std::uint16_t>(std::atoi(argv[1])),
                std::max(2, std::atoi(argv[3]) / 2 * 2),
                {}};
    bench.x = bench.watch.open();
    const std::string paired = td::test::exchangeRemote(
        bench.port, post("/api/pair", "", R"({"pin":")" + std::string(argv[2]) + "\"}"));
    std::smatch token;
    if (bench.x < 0 || !std::regex_search(paired, token, std::regex("\"token\":\"(\\w+)\""))) {
        std::fprintf(stderr, "no display, or no pairing: %s\n", paired.c_str());
        return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < bench.count; ++i) {
        const auto start = Clock::now();
        td::test::exchange(bench.port, "OPTIONS / HTTP/1.1\r\n\r\n");
        ms.push_back(msBetween(start, Clock::now()));
    }
    printFigures("OPTIONS / (reference)", ms);

    td::test::RawWebSocket socket(
        bench.port, "/api/pointer",
        "Sec-WebSocket-Protocol: tapdeck-pointer, tapdeck-token." + token.str(1) + "\r\n");
    const Send overTheSocket = [&socket](const std::string& events) { socket.send(events); };
    const Send overPost = [&](const std::string& events) {
        td::test::exchange(bench.port, post("/api/pointer", "X-TD-Token: " + token.str(1) + "\r\n",
                                            "{\"events\":" + events + "}"));
    };
    if (!socket.upgraded() || !bench.timeMoves("WebSocket message to motion", overTheSocket) ||
        !bench.flood(overTheSocket) || !bench.timeMoves("POST /api/pointer to motion", overPost)) {
        std::fprintf(stderr, "the pointer never reached %d: %s\n", bench.x, socket.head().c_str());
        return 1;
    }
    if (argc == 6) {
        const Forwarder plain(bench.port, "");
        const Forwarder relayed(static_cast<std::uint16_t>(std::atoi(argv[4])), argv[5]);
        for (const auto* forwarder : {&plain, &relayed}) {
            td::test::RawWebSocket through(
                forwarder->port(), "/api/pointer",
                "Sec-WebSocket-Protocol: tapdeck-pointer, tapdeck-token." + token.str(1) + "\r\n");
            const Send send = [&through](const std::string& events) { through.send(events); };
            if (!through.upgraded() ||
                !bench.timeMoves(forwarder == &plain ? "WebSocket, forwarded straight"
                                                     : "WebSocket, through the relay",
                                 send)) {
                std::fprintf(stderr, "no moves through the forwarder: %s\n",
                             through.head().c_str());
                return 1;
            }
        }
    }
    return 0;
}
