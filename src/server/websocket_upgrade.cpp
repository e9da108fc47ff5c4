// A connection that asked for a WebSocket: Beast's stream takes its socket over and reads
// messages; nothing is sent but the close. The one file of the server that compiles Beast's
// WebSocket, since that is slow to compile.
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "common/log.hpp"
#include "server/tcp_connection.hpp"

namespace td::server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace {
// How long a peer told to go has to answer the close frame before the socket is closed anyway.
constexpr auto CLOSE_GRACE = std::chrono::seconds(1);
}  // namespace

struct TcpConnection::Upgraded {
    Upgraded(asio::ip::tcp::socket socket, SocketOptions options, SocketHandlers handlers)
        : stream(std::move(socket)),
          pace(stream.get_executor()),
          options(std::move(options)),
          handlers(std::move(handlers)) {}

    websocket::stream<asio::ip::tcp::socket> stream;
    beast::flat_buffer buffer;
    asio::steady_timer pace;  // holds the next read back while the socket is over its rate
    const SocketOptions options;
    SocketHandlers handlers;
    double burst() const {
        return std::max(1.0, static_cast<double>(options.messagesPerSecond) / 10);
    }
    // Messages that may be read now: refilled at the rate allowed, up to a burst's worth.
    double credit = burst();
    std::chrono::steady_clock::time_point refilled = std::chrono::steady_clock::now();
    bool waitingForRoom = false;
    bool ended = false;
};

void TcpConnection::UpgradedDelete::operator()(Upgraded* upgraded) const {
    delete upgraded;
}

namespace {

// The request as Beast reads it: its method, target and fields (what the accept checks).
http::request<http::empty_body> upgradeRequest(const Request& request) {
    http::request<http::empty_body> upgrade;
    upgrade.method_string(request.method);
    upgrade.target(request.encodedPath);
    upgrade.version(11);
    for (const auto& [name, value] : request.headers) {
        upgrade.insert(name, value);
    }
    return upgrade;
}

}  // namespace

bool TcpConnection::becomeWebSocket(const Request& request, SocketOptions options,
                                    SocketHandlers handlers) {
    if (!onOwnStrand() || closed_ || finishing_ || upgraded_) {
        return false;
    }
    deadline_.cancel();
    const std::string subprotocol = options.subprotocol;
    const std::size_t maxMessageBytes = options.maxMessageBytes;
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = env_->limits.requestTimeout;
    timeouts.idle_timeout = options.idleTimeout;
    // No pings: a browser answers them, and a touchpad left open but untouched would then
    // hold its socket for ever. Silence for the idle time ends it.
    timeouts.keep_alive_pings = false;
    upgraded_.reset(new Upgraded(std::move(socket_), std::move(options), std::move(handlers)));
    websocket::stream<asio::ip::tcp::socket>& stream = upgraded_->stream;
    stream.set_option(timeouts);
    stream.set_option(
        websocket::stream_base::decorator([subprotocol](websocket::response_type& response) {
            response.set(http::field::sec_websocket_protocol, subprotocol);
        }));
    stream.read_message_max(maxMessageBytes);
    stream.async_accept(upgradeRequest(request), [self = shared_from_this()](const error_code& ec) {
        if (ec) {
            TD_LOG(http, "a WebSocket upgrade failed: " + ec.message());
            return self->closeNow();
        }
        self->readMessage();
    });
    return true;
}

void TcpConnection::readMessage() {
    Upgraded& socket = *upgraded_;
    // A bucket rather than a window per second: past a burst, reads are spaced evenly, and a
    // sender over the rate waits a message's worth, never the rest of a second.
    const double rate = static_cast<double>(socket.options.messagesPerSecond);
    const auto now = std::chrono::steady_clock::now();
    socket.credit = std::min(
        socket.burst(),
        socket.credit + rate * std::chrono::duration<double>(now - socket.refilled).count());
    socket.refilled = now;
    if (socket.credit < 1) {
        socket.pace.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>((1 - socket.credit) / rate)));
        socket.pace.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec && !self->closed_) {
                self->readMessage();
            }
        });
        return;
    }
    socket.credit -= 1;
    socket.stream.async_read(
        socket.buffer,
        [self = shared_from_this()](const error_code& ec, std::size_t) { self->onMessage(ec); });
}

void TcpConnection::onMessage(const error_code& ec) {
    if (ec || closed_) {
        return closeNow();  // the peer closed, broke the rules of framing, or went silent
    }
    Upgraded& socket = *upgraded_;
    const auto data = socket.buffer.data();
    const std::string_view message(static_cast<const char*>(data.data()), data.size());
    const Taken taken = socket.stream.got_text() && socket.handlers.onMessage
                            ? socket.handlers.onMessage(message)
                            : Taken::refused;
    socket.buffer.consume(socket.buffer.size());
    if (taken == Taken::waitForRoom) {
        socket.waitingForRoom = true;
        return;
    }
    if (taken == Taken::refused) {
        // The close frame says why; a peer that does not answer it is not waited for.
        socket.stream.async_close(
            websocket::close_code::policy_error,
            [self = shared_from_this()](const error_code&) { self->closeNow(); });
        socket.pace.expires_after(CLOSE_GRACE);
        socket.pace.async_wait([self = shared_from_this()](const error_code& waitEc) {
            if (!waitEc) {
                self->closeNow();
            }
        });
        return;
    }
    readMessage();
}

void TcpConnection::resumeReading() {
    std::lock_guard lock(env_->mutex);
    if (env_->stopped) {
        return;  // nothing more is read, and nothing may be left queued for good
    }
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (self->bodyPaused_ && self->bodySink_.onPiece && !self->closed_) {
            self->bodyPaused_ = false;
            if (!self->bodyReadPending_) {
                self->doBodyRead();
            }
            return;
        }
        Upgraded* socket = self->upgraded_.get();
        if (socket && socket->waitingForRoom && !socket->ended && !self->closed_) {
            socket->waitingForRoom = false;
            self->readMessage();
        }
    });
}

// The socket ended: whoever listened hears it once.
void TcpConnection::endSocket() {
    if (!upgraded_ || upgraded_->ended) {
        return;
    }
    upgraded_->ended = true;
    upgraded_->pace.cancel();
    error_code ignored;
    upgraded_->stream.next_layer().close(ignored);
    if (auto onClose = std::move(upgraded_->handlers.onClose)) {
        onClose();
    }
}

}  // namespace td::server
