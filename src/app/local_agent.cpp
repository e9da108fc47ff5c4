#include "app/local_agent.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/json.hpp"
#include "tiles/tile_board.hpp"

namespace td::app {
namespace {

// A script's call must not hang it: the agent answers at once.
constexpr timeval REPLY_TIME_LIMIT{10, 0};
constexpr std::size_t MAX_REPLY_BYTES = 64 * 1024;

std::string printable(const std::string& text) {
    constexpr std::size_t MAX_REASON = 300;
    std::string shown = tiles::withoutFormatting(text);
    if (shown.size() > MAX_REASON) {
        shown.resize(MAX_REASON);
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) {
            shown.pop_back();  // not half a character
        }
        if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) {
            shown.pop_back();
        }
    }
    return shown;
}

std::optional<std::string> replyError(const std::string& reply, std::uint16_t port) {
    const auto lineEnd = reply.find("\r\n");
    const auto headEnd = reply.find("\r\n\r\n");
    if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || lineEnd == std::string::npos ||
        headEnd == std::string::npos) {
        return "what answers on port " + std::to_string(port) + " is not Tapdeck";
    }
    const int status = std::atoi(reply.c_str() + 9);
    const UntrustedJson body = parseObjectOrEmpty(std::string_view(reply).substr(headEnd + 4));
    if (status == 200 && body.value("ok", false)) {
        return std::nullopt;
    }
    if (status == 401) {
        return "the Tapdeck on port " + std::to_string(port) +
               " does not take this user's requests (is it another user's?)";
    }
    const auto error = body.find("error");
    return error != body.end() && error->is_string()
               ? printable(error->get<std::string>())
               : "the agent answered " + std::to_string(status);
}

// Whoever answers on the port gets the whole exchange, connecting included, within
// REPLY_TIME_LIMIT: a peer slow to accept or sending a byte at a time must not hold the script.
class Deadline {
  public:
    Deadline()
        : at_(std::chrono::steady_clock::now() + std::chrono::seconds(REPLY_TIME_LIMIT.tv_sec)) {}
    bool passed() const { return std::chrono::steady_clock::now() >= at_; }
    // Gives the socket's next wait (SO_RCVTIMEO or SO_SNDTIMEO) what is left; false when
    // nothing is.
    bool limit(int fd, int option) const {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            at_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const timeval wait{static_cast<time_t>(left.count() / 1'000'000),
                           static_cast<suseconds_t>(left.count() % 1'000'000)};
        return ::setsockopt(fd, SOL_SOCKET, option, &wait, sizeof wait) == 0;
    }

  private:
    std::chrono::steady_clock::time_point at_;
};

}  // namespace

std::optional<std::string> postToLocalAgent(std::uint16_t port, const std::string& path,
                                            const std::string& body, std::string* answer) {
    const Deadline deadline;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("cannot open a socket: ") + std::strerror(errno);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    deadline.limit(fd, SO_SNDTIMEO);  // connect waits as a send does
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int why = errno;
        ::close(fd);
        return "Tapdeck is not answering on port " + std::to_string(port) + " (" +
               std::strerror(why) + "); is it running? (TD_PORT names another port)";
    }
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string request =
        "POST " + path + " HTTP/1.1\r\nHost: " + host +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    std::string_view left = request;
    while (!left.empty()) {
        const ssize_t sent = deadline.limit(fd, SO_SNDTIMEO)
                                 ? ::send(fd, left.data(), left.size(), MSG_NOSIGNAL)
                                 : -1;
        if (sent <= 0) {
            ::close(fd);
            return "the agent did not take the request";
        }
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    std::string reply;
    char buffer[4096];
    ssize_t got = 0;
    while (reply.size() < MAX_REPLY_BYTES && deadline.limit(fd, SO_RCVTIMEO) &&
           (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (got != 0 && deadline.passed()) {
        return "the agent did not answer within 10 s";
    }
    if (answer) {
        const auto headEnd = reply.find("\r\n\r\n");
        *answer = headEnd == std::string::npos ? std::string() : reply.substr(headEnd + 4);
    }
    return replyError(reply, port);
}

}  // namespace td::app
