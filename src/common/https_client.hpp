#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace td {

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
};

struct HttpResponse {
    bool delivered = false;  // false: no answer (refused, unreachable, unverified, timed out)
    int status = 0;
    std::string body;
    std::string error;  // why nothing was delivered
};

// The agent's one HTTPS client: TLS 1.2 or later, the peer's certificate and host name verified
// against the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR apply), SNI sent. Requests
// run on the client's own thread; `send` never blocks, and `done` is called exactly once per
// request, on that thread.
class HttpsClient {
  public:
    HttpsClient();
    ~HttpsClient();  // abandons requests in flight; their completions are not called
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    void send(HttpRequest request, std::function<void(HttpResponse)> done);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td
