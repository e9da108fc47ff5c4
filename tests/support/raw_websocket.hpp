#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/loopback_client.hpp"

namespace td::test {

// A WebSocket client that writes its frames by hand over a plain loopback connection: it sends
// fragments it never finishes, reads nothing it is not asked to, and names any headers.
class RawWebSocket {
  public:
    // Connects from `sourceIpv4` and asks for the upgrade at `target` with the extra header
    // lines given (each ending in CR LF); check `upgraded()` and `head()`.
    RawWebSocket(std::uint16_t port, const std::string& target,
                 const std::string& extraHeaders = "", const char* sourceIpv4 = "127.0.0.1");

    bool upgraded() const { return head_.starts_with("HTTP/1.1 101"); }
    // The answer's head (the 101 or the refusal), up to CR LF CR LF.
    const std::string& head() const { return head_; }
    // The body of a refusal.
    std::string refusalBody();

    // One frame, masked as a client's must be (with a zero key): text unless `continuation`,
    // final unless told.
    // False once the connection is gone.
    bool send(std::string_view payload, bool final = true, bool continuation = false);
    // A frame's head announcing `length` bytes, whose payload follows in `sendBytes` (the mask
    // key is zero: the bytes go as they are).
    bool sendHead(std::size_t length, bool final = true, bool continuation = false);
    bool sendBytes(std::string_view bytes);
    // True once the server answered a ping: it has read everything sent before.
    bool heard();
    // The payload of the next frame from the server ("" when none comes in time), and its
    // opcode (8 for close, whose payload starts with the code).
    std::string readFrame(int* opcode = nullptr,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the server closed the connection within the time (whatever it sent first).
    bool closedByPeer(std::chrono::milliseconds within);
    // Ends our side: a send blocked on another thread returns at once.
    void stopSending() { client_.finishSending(); }

  private:
    LoopbackClient client_;
    std::string head_;
};

}  // namespace td::test
