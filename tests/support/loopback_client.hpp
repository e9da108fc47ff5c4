#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace td::test {

using namespace std::chrono_literals;

// A blocking TCP client for loopback tests: every wait is bounded.
class LoopbackClient {
  public:
    // Connects to 127.0.0.1 (or ::1 when `ipv6`), from `sourceIpv4` when given; check
    // `connected()`.
    explicit LoopbackClient(std::uint16_t port, bool ipv6 = false,
                            const char* sourceIpv4 = nullptr);
    // Connects to 127.0.0.1 from another loopback address (127.0.0.2 is not "this computer"
    // to the agent, so it stands in for a phone on the network).
    static LoopbackClient from(const char* sourceIpv4, std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;
    LoopbackClient(LoopbackClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view bytes);
    // Sends FIN: the request is over from our side.
    void finishSending();
    // Closes with a reset, as a vanished peer would.
    void abort();

    // Everything up to the peer's close, or what arrived before the timeout.
    std::string readAll(std::chrono::milliseconds timeout = 5s);
    // Reads until `n` bytes arrived in all (or timeout); returns what was read.
    std::string readExactly(std::size_t n, std::chrono::milliseconds timeout = 5s);
    // True when the peer closed (EOF or reset) within the timeout, with no bytes first.
    // Reads until what was read (`soFar` included) holds `needle`, or the timeout.
    bool readUntil(std::string& soFar, std::string_view needle,
                   std::chrono::milliseconds timeout = 10s);
    bool closedByPeer(std::chrono::milliseconds timeout = 5s);
    // True when nothing arrives during `window`.
    bool silentFor(std::chrono::milliseconds window);

  private:
    int fd_ = -1;
};

// One whole exchange: sends the request and reads the answer up to the server's close.
std::string exchange(std::uint16_t port, std::string_view request);
// The same from a remote-looking peer (127.0.0.2).
std::string exchangeRemote(std::uint16_t port, std::string_view request);

// The value of a header line in a raw response head, or "" when absent.
std::string headerValue(std::string_view response, std::string_view name);
// The bytes after the head.
std::string bodyOf(std::string_view response);

}  // namespace td::test
