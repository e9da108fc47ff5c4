#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace td::net {

// What a WebSocket tells its owner; each runs on the client's thread.
struct WebSocketHandlers {
    std::function<void()> onOpen;                       // the upgrade succeeded
    std::function<void(std::string text)> onText;       // a text message
    std::function<void(std::string bytes)> onBinary;    // a binary one (skipped when unset)
    std::function<void(const std::string& why)> onEnd;  // failed or closed by the peer; once
    std::size_t maxMessageBytes = 1024 * 1024;          // a larger message ends the connection
    // "ADDRESS:PORT" to connect to whatever the URL's host resolves to (split DNS, tests); the
    // URL's host is still the name the TLS session and the upgrade use.
    std::string connectTo;
};

// One client WebSocket over verified TLS. Handlers are never called after `close`.
class WebSocket {
  public:
    virtual ~WebSocket() = default;
    // Queued and sent in order from any thread; dropped once the socket has ended.
    virtual void sendText(std::string text) = 0;
    // The same, as a binary message.
    virtual void sendBinary(std::string bytes) = 0;
    // Closes with code 1000 (normal closure), or abandons a connection still being opened.
    virtual void close() = 0;
    // The Host field its upgrade request sends ("host" or "host:port").
    virtual std::string host() const = 0;
};

}  // namespace td::net
