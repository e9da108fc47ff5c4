#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "server/connection.hpp"
#include "server/request.hpp"
#include "server/server.hpp"

namespace td::server {

class TcpConnection;

// What every connection of one server shares, the io_context its sockets live on included.
// Connections hold this rather than the server, so that one kept past the server's end (by a
// planner's answer on the HTTPS client's thread, say) is harmless: its writes then fail at once.
struct ConnectionEnv {
    boost::asio::io_context ioc;
    ServerLimits limits;
    std::size_t maxConnections = 0;  // the limit, lowered to what the descriptors allow
    BodyLimit bodyLimit;
    // Called on a network thread only, and only while the server runs.
    std::function<void(const ConnectionPtr&, Request)> deliver;
    std::atomic<std::size_t> openCount{0};
    std::atomic<std::size_t> bodyBytesInFlight{0};

    std::mutex mutex;  // guards the three below
    // Set when the server stops; from then on nothing more is queued on `ioc`.
    bool stopped = false;
    std::unordered_set<TcpConnection*> open;
    std::unordered_map<std::string, std::size_t> openPerPeer;

    // Counts a new connection from `peer`; false (and nothing counted) past a cap.
    bool admit(const std::string& peer);
};

// A socket on its own strand: reads one request, hands it on, then writes what it is given in
// order and closes gracefully.
class TcpConnection final : public Connection, public std::enable_shared_from_this<TcpConnection> {
  public:
    // `peer` was admitted by the env, and is released when the connection goes.
    TcpConnection(boost::asio::ip::tcp::socket socket, std::string peer, RequestSource source,
                  std::shared_ptr<ConnectionEnv> env);
    ~TcpConnection() override;

    void start();
    void sendRaw(std::shared_ptr<const std::string> bytes, bool close, WriteDone done) override;
    void close() override;
    bool becomeWebSocket(const Request& upgrade, SocketOptions options,
                         SocketHandlers handlers) override;
    void resumeReading() override;
    void readBody(BodySink sink) override;
    void sendFile(std::string head, int fd, std::uint64_t size) override;
    bool peerIsThisUser() override;
    using Connection::sendRaw;

    // Closes at once; only on the connection's strand, or once no thread runs the io_context.
    void closeNow();

  private:
    struct PendingWrite {
        std::shared_ptr<const std::string> bytes;
        bool close;
        WriteDone done;
    };

    void armDeadline(std::chrono::milliseconds timeout);
    void onDeadline(const boost::system::error_code& ec);
    void doRead();
    void onRead(const boost::system::error_code& ec, std::size_t bytesRead);
    bool reserveBody();
    void refuse(int status);
    void enqueue(PendingWrite write);
    void doWrite();
    void onWrite(const boost::system::error_code& ec, std::size_t bytesWritten);
    void finishGracefully();
    void doDrain();
    void onDrain(const boost::system::error_code& ec, std::size_t bytesRead);
    bool onOwnStrand();
    void readMessage();
    void deliverBodyStart();
    void doBodyRead();
    void onBodyRead(const boost::system::error_code& ec, std::size_t bytesRead);
    void endBody(bool whole);
    struct OpenFile;
    void sendFromFile(const std::shared_ptr<OpenFile>& file);
    void onMessage(const boost::system::error_code& ec);
    void endSocket();

    // First, so that it goes last: the sockets below belong to its io_context.
    const std::shared_ptr<ConnectionEnv> env_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    RequestReader reader_;
    const std::string peer_;
    const RequestSource source_;
    std::optional<bool> peerIsThisUser_;  // asked once, when a request first needs it
    bool headSeen_ = false;
    std::size_t reservedBodyBytes_ = 0;
    std::deque<PendingWrite> writes_;
    std::size_t backlogBytes_ = 0;
    bool writing_ = false;
    bool finishing_ = false;  // the final answer is queued; nothing more is accepted
    bool streaming_ = false;
    bool closed_ = false;
    std::unique_ptr<char[]> drainBuffer_;
    std::size_t drainedBytes_ = 0;
    // A streamed body: what came with the head, what the socket still owes, and its reader.
    std::string bodyStart_;
    std::uint64_t bodyLeft_ = 0;
    BodySink bodySink_;
    std::unique_ptr<char[]> bodyBuffer_;
    bool bodyPaused_ = false;       // the sink has no room
    bool bodyReadPending_ = false;  // a read of the body is under way
    bool bodyUnread_ = false;       // the request's body streams and nobody asked for it yet
    bool bodyAwaitsContinue_ = false;  // its client waits for "100 Continue" before sending it
    // Once the connection became a WebSocket: the stream that took the socket over (made and
    // freed in the one file that compiles Beast's WebSocket for the server).
    struct Upgraded;
    struct UpgradedDelete {
        void operator()(Upgraded* upgraded) const;
    };
    std::unique_ptr<Upgraded, UpgradedDelete> upgraded_;
};

}  // namespace td::server
