#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/relay_streams.hpp"

typedef struct ssl_ctx_st SSL_CTX;

namespace td::relay {

// The agent's end of the streams a relay passes unread: each is a phone's TLS connection, ended
// here with this computer's own certificate and handed, as plain bytes, to the agent's server
// through a socket pair. Credit works as on the relay: at most STREAM_WINDOW_BYTES in flight
// each way; the server's side is not read while the relay owes credit. Runs on a thread of its
// own; every method may be called from any thread.
class TlsStreams {
  public:
    struct Links {
        // Queues a frame on the relay's socket, in order.
        std::function<void(std::string frame)> send;
        // The agent's server takes the plain end of a stream, as a connection from `peer`.
        std::function<void(int fd, std::string peer)> adopt;
        // The TLS context holding this computer's certificate; nothing until it holds one (the
        // phone's connection is then closed).
        std::function<std::shared_ptr<SSL_CTX>()> tls;
        // The relay broke the streams' rules (a frame that cannot be read, a stream opened
        // twice, more than its credit, credit never owed): its connection should be closed.
        std::function<void(const std::string& why)> broken;
    };

    explicit TlsStreams(Links links);
    ~TlsStreams();  // ends every stream and joins the thread
    TlsStreams(const TlsStreams&) = delete;
    TlsStreams& operator=(const TlsStreams&) = delete;

    // A binary message from the relay, handled in order on the streams' thread.
    void onMessage(std::string message);
    std::size_t openCount() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace td::relay
