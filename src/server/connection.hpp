#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/request.hpp"
#include "server/response.hpp"

namespace td::server {

// What becomes of a message a WebSocket's reader was handed.
enum class Taken {
    readOn,  // the next message is read
    // Taken, but whoever applies it has no room for more: nothing more is read (TCP holds the
    // peer back) until `Connection::resumeReading`.
    waitForRoom,
    refused,  // it broke the rules: the socket closes with 1008
};

// What a connection that became a WebSocket hears; each runs on the connection's strand.
struct SocketHandlers {
    // One text message.
    std::function<Taken(std::string_view message)> onMessage;
    // The socket ended, however it ended; once.
    std::function<void()> onClose;
};

// Where a streamed request body goes (see Request::streamedBody); each runs on the connection's
// strand.
struct BodySink {
    // The next piece, in order. `waitForRoom`: nothing more is read until
    // `Connection::resumeReading`; `refused`: nothing more is read at all.
    std::function<Taken(std::string_view piece)> onPiece;
    // Once: every declared byte arrived (true), or the body will not end (the peer went or fell
    // silent, the connection closed, or it cannot stream a body).
    std::function<void(bool whole)> onEnd;
};

struct SocketOptions {
    std::string subprotocol;  // named in the 101
    std::size_t maxMessageBytes = 16 * 1024;
    // A socket that hears nothing this long is closed.
    std::chrono::seconds idleTimeout{60};
    // Messages read in a second at most: past it the next read waits, and a flood slows its
    // own sender (TCP holds it back) rather than the agent.
    std::size_t messagesPerSecond = 1000;
};

// One accepted client connection, as handlers see it. Writes are queued and leave in the order
// they were made; every method may be called from any thread.
class Connection {
  public:
    // Told whether the bytes were written; called on the connection's own strand.
    using WriteDone = std::function<void(bool ok)>;

    virtual ~Connection() = default;

    // Writes the bytes as one send; when `close`, the connection ends once they have left.
    virtual void sendRaw(std::shared_ptr<const std::string> bytes, bool close,
                         WriteDone done = {}) = 0;

    // Ends the connection now; queued writes are abandoned.
    virtual void close() = 0;

    // Answers the upgrade request with a 101 and keeps the connection as a WebSocket that
    // only receives; on the connection's strand only. False when this connection cannot become
    // one (a request the relay carried): the caller answers it instead.
    virtual bool becomeWebSocket(const Request&, SocketOptions, SocketHandlers) { return false; }

    // A WebSocket whose last message was taken with `waitForRoom` reads on, and so does a
    // streamed body; from any thread.
    virtual void resumeReading() {}

    // Reads the streamed body of the request it carries into `sink`, once; from any thread.
    // A connection that cannot (a request a relay carried whole) ends it at once, not whole.
    virtual void readBody(BodySink sink) {
        if (sink.onEnd) {
            sink.onEnd(false);
        }
    }

    // Whether the peer is a process of the user running the agent, asked of the kernel once;
    // on the connection's strand only, while the request that asks is being routed (the socket
    // is open then, so the answer is about this peer). False for anything not on loopback.
    virtual bool peerIsThisUser() { return false; }

    // Whether an answer may go on without end (an event stream): false for a request a relay
    // carried whole, whose answer must end before the relay passes it on.
    virtual bool canStream() const { return true; }

    // Work that may take long (a handler on the work pool) is about to begin; false when nobody
    // waits for its answer any more, and then it does not begin.
    virtual bool beginWork() { return true; }

    void sendRaw(std::string bytes, bool close, WriteDone done = {}) {
        sendRaw(std::make_shared<const std::string>(std::move(bytes)), close, std::move(done));
    }

    // Answers the request and ends the connection.
    virtual void send(const Response& response) { sendRaw(serialize(response), true); }

    // Answers with `head` (a status line and header lines, CR LF CR LF included) and then the
    // `size` bytes of the open file `fd`, which it takes and closes; the connection ends after.
    // Here the file is read whole (at most MAX_HELD_FILE_BYTES, else 413): connections that
    // can, send it from the file as the peer takes it.
    static constexpr std::uint64_t MAX_HELD_FILE_BYTES = 64 * 1024 * 1024;
    virtual void sendFile(std::string head, int fd, std::uint64_t size);
    void json(const Json& object, int status = 200) { send(jsonResponse(object, status)); }
};

using ConnectionPtr = std::shared_ptr<Connection>;

}  // namespace td::server
