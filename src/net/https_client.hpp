#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/tls_trust.hpp"
#include "net/websocket.hpp"

namespace td::net {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The whole exchange, from resolving the host to the last byte of the answer.
    std::chrono::milliseconds timeout{30'000};
    // Plain http is refused unless the caller says the address was set explicitly (by a test or
    // the user), never for an address of our own choosing.
    bool allowPlainHttp = false;
    // A longer answer is not delivered.
    std::uint64_t maxAnswerBytes = 8 * 1024 * 1024;
};

struct HttpResponse {
    bool delivered = false;  // false: no answer (refused, unreachable, unverified, timed out)
    int status = 0;
    std::string contentType;
    // Every field of the answer's head, as sent.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string error;  // why nothing was delivered
    // The first field named `name` (any case); empty when there is none.
    std::string header(std::string_view name) const;
};

// The agent's HTTPS and WSS client: every TLS connection is verified (see `makeVerifyingContext`
// and `expectPeer`). Requests run on the client's own thread; `send` never blocks, and `done` is
// called exactly once per request, on that thread, unless the client stops first. The trust
// store is read at the first https request, not before.
class HttpsClient {
  public:
    explicit HttpsClient(TlsTrust trust = {});
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    void send(HttpRequest request, std::function<void(HttpResponse)> done);

    // Opens a WebSocket to a `wss` URL on the client's thread, verified like every request; a
    // URL that is not one ends it at once (`onEnd`, on the client's thread).
    std::shared_ptr<WebSocket> openWebSocket(const std::string& url, WebSocketHandlers handlers);

    // Ends the client's thread; requests in flight are abandoned and their completions dropped
    // without being called. Later requests are dropped too. Not undone.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::net
