#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "server/connection.hpp"
#include "server/request.hpp"

namespace td::server {

inline constexpr std::uint16_t DEFAULT_PORT = 8788;

// Bounds that keep one misbehaving peer from costing everyone else.
struct ServerLimits {
    // A whole request must arrive within this, and a whole answer must leave within it.
    std::chrono::milliseconds requestTimeout{30'000};
    // The header block must arrive within this: a peer that trickles it holds a connection
    // for nothing.
    std::chrono::milliseconds headerTimeout{10'000};
    // Past this many open connections a new one is closed at once; never more than the
    // descriptors the process may open, less a reserve for the Store and tools.
    std::size_t maxConnections = 4096;
    // One address may not take every connection or every stream from the others.
    std::size_t maxConnectionsPerPeer = 64;
    // Event streams are long-lived; they may not take every connection.
    std::size_t maxEventStreams = 256;
    std::size_t maxEventStreamsPerPeer = 8;
    // A stream whose reader falls this far behind is dropped rather than buffered.
    std::size_t maxStreamBacklog = 1024 * 1024;
    // Request bodies held at once across every connection; a request that would pass it is
    // answered 503, so that many large bodies together cannot exhaust memory.
    std::size_t maxBodyBytesInFlight = 4 * 1024 * 1024;
    // Bodies this small (pairing, most actions) do not count: heads that only declare large
    // bodies must not shut out a phone's pairing or its taps.
    std::size_t smallBodyBytes = 4 * 1024;
    // After an answer, unread bytes from the peer are drained this long so that closing does
    // not reset the connection before the answer is read.
    std::chrono::milliseconds lingerTimeout{2'000};
};

struct ServerOptions {
    std::uint16_t port = DEFAULT_PORT;  // 0: any free port
    std::filesystem::path publicDir = "public";
    ServerLimits limits;
    std::chrono::milliseconds keepAliveInterval{25'000};
    std::chrono::milliseconds bindRetryDelay{500};
    int lastBindAttempt = 20;  // attempts are numbered 0 to this
    // After the last attempt the port is tried again at this slower pace, so the agent heals
    // once whatever held the port lets it go.
    std::chrono::milliseconds slowBindRetryDelay{5'000};
    // The largest body each request may carry (see `BodyLimit`); empty: the reader's maximum.
    BodyLimit bodyLimit;
    // Threads serving the sockets (each connection on a strand of its own when more than one);
    // handlers that block run on the work pool, so these are never held up.
    std::size_t networkThreads = 1;
    std::size_t maxWorkThreads = 64;  // run handlers that may block
    std::function<void(std::uint16_t port)> onListening;
    // Once, when the fast attempts are spent; binding goes on at the slow pace.
    std::function<void()> onBindGaveUp;
};

// The agent's HTTP/1.1 server: one request per connection, every ordinary answer closes it.
// It moves bytes and knows no endpoint: the router handed to it answers every request.
// Whom a broadcast is for: anyone hears that the configuration changed; only a paired phone or
// this computer hears what the desktop is doing.
enum class StreamAudience { anyone, paired };

class Server {
  public:
    // Receives every whole request exactly once, on a network thread; must not block (hand
    // blocking work to `runOnWorkPool`). Owns the connection from then on.
    using Router = std::function<void(const ConnectionPtr&, Request)>;

    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Set once, before `start`.
    void setRouter(Router router);

    // Binds in the background (with retries) and starts the event-stream keep-alive; returns
    // at once.
    void start();

    // Stops accepting, waits for running handlers, ends every connection and joins the
    // threads. A connection still held elsewhere afterwards fails its writes at once. Not undone.
    void stop();

    std::uint16_t port() const;
    // The port actually listened on; 0 until bound.
    std::uint16_t listeningPort() const;
    const std::filesystem::path& publicDir() const;

    // Serves a connected stream socket that arrived another way (a phone's connection through
    // a relay, its TLS, for this computer's own name, already ended) as relayed requests from
    // `peer`: never this computer's own. Takes `fd`; closes it when the server is not running
    // or full.
    void adopt(int fd, std::string peer);

    void runOnWorkPool(std::function<void()> task);

    // Event streams: the head and greeting go out now; broadcasts reach every open stream, those
    // for paired streams only where `paired` says yes at that moment (a phone unpaired since
    // hears no more); a stream whose write fails is dropped. Past the caps (in all, or from
    // `peer`) the answer is 503.
    void openSSE(const ConnectionPtr& connection, const std::string& peer,
                 std::function<bool()> paired = {});
    void broadcast(std::string_view message, StreamAudience audience = StreamAudience::anyone);
    void broadcastReload();
    void dropSSE(const ConnectionPtr& connection);

    std::size_t eventStreamCount() const;
    std::size_t openConnectionCount() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::server
