#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>

#include "server/connection.hpp"
#include "server/request.hpp"
#include "server/server.hpp"

namespace td::server {

// What every connection of one server shares.
struct ConnectionEnv {
    ServerLimits limits;
    std::function<void(const ConnectionPtr&, Request)> deliver;
    std::atomic<std::size_t> openCount{0};
};

// A socket on its own strand: reads one request, hands it on, then writes what it is given in
// order and closes gracefully.
class TcpConnection final : public Connection, public std::enable_shared_from_this<TcpConnection> {
  public:
    TcpConnection(boost::asio::ip::tcp::socket socket, const boost::asio::ip::address& peer,
                  ConnectionEnv& env);
    ~TcpConnection() override;

    void start();
    void sendRaw(std::shared_ptr<const std::string> bytes, bool close, WriteDone done) override;
    void close() override;
    using Connection::sendRaw;

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
    void refuse(int status);
    void enqueue(PendingWrite write);
    void doWrite();
    void onWrite(const boost::system::error_code& ec, std::size_t bytesWritten);
    void finishGracefully();
    void doDrain();
    void onDrain(const boost::system::error_code& ec, std::size_t bytesRead);
    void closeNow();

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    ConnectionEnv& env_;
    RequestReader reader_;
    bool isLocal_ = false;
    std::deque<PendingWrite> writes_;
    std::size_t backlogBytes_ = 0;
    bool writing_ = false;
    bool finishing_ = false;  // the final answer is queued; nothing more is accepted
    bool streaming_ = false;
    bool closed_ = false;
    std::unique_ptr<char[]> drainBuffer_;
};

}  // namespace td::server
