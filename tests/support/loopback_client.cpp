#include "support/loopback_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace td::test {
namespace {

// Waits for readability; false on timeout.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

}  // namespace

LoopbackClient::LoopbackClient(std::uint16_t port, bool ipv6, const char* sourceIpv4) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in6 target6{};
    target6.sin6_family = AF_INET6;
    target6.sin6_port = htons(port);
    target6.sin6_addr = in6addr_loopback;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    const bool bound =
        !sourceIpv4 || (::inet_pton(AF_INET, sourceIpv4, &source.sin_addr) == 1 &&
                        ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0);
    const int rc = ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&target6), sizeof target6)
                        : ::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target);
    if (!bound || rc != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackClient LoopbackClient::from(const char* sourceIpv4, std::uint16_t port) {
    return LoopbackClient(port, false, sourceIpv4);
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool LoopbackClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void LoopbackClient::finishSending() {
    ::shutdown(fd_, SHUT_WR);
}

void LoopbackClient::abort() {
    linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd_);
    fd_ = -1;
}

std::string LoopbackClient::readAll(std::chrono::milliseconds timeout) {
    return readExactly(std::string::npos, timeout);
}

std::string LoopbackClient::readExactly(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (out.size() < n && waitReadable(fd_, deadline)) {
        const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool LoopbackClient::readUntil(std::string& soFar, std::string_view needle,
                               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (soFar.find(needle) == std::string::npos) {
        if (!waitReadable(fd_, deadline)) {
            return false;
        }
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got <= 0) {
            return false;
        }
        soFar.append(buf, static_cast<std::size_t>(got));
    }
    return true;
}

bool LoopbackClient::closedByPeer(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!waitReadable(fd_, deadline)) {
        return false;
    }
    char byte;
    return ::recv(fd_, &byte, 1, 0) <= 0;
}

bool LoopbackClient::silentFor(std::chrono::milliseconds window) {
    return !waitReadable(fd_, std::chrono::steady_clock::now() + window);
}

namespace {
std::string exchangeWith(LoopbackClient client, std::string_view request) {
    // An answer is awaited, however loaded the machine: a slow one is no failure here.
    return client.connected() && client.send(request) ? client.readAll(std::chrono::seconds(30))
                                                      : std::string();
}
}  // namespace

std::string exchange(std::uint16_t port, std::string_view request) {
    return exchangeWith(LoopbackClient(port), request);
}

std::string exchangeRemote(std::uint16_t port, std::string_view request) {
    return exchangeWith(LoopbackClient::from("127.0.0.2", port), request);
}

std::string headerValue(std::string_view response, std::string_view name) {
    const std::size_t headEnd = response.find("\r\n\r\n");
    const std::string_view head = response.substr(0, headEnd);
    const std::string needle = "\r\n" + std::string(name) + ": ";
    const std::size_t at = head.find(needle);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::size_t start = at + needle.size();
    return std::string(head.substr(start, head.find("\r\n", start) - start));
}

std::string bodyOf(std::string_view response) {
    const std::size_t headEnd = response.find("\r\n\r\n");
    return headEnd == std::string_view::npos ? std::string{}
                                             : std::string(response.substr(headEnd + 4));
}

}  // namespace td::test
