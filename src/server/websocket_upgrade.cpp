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
    std::chrono::steady_clock::time_point windowStart = std::chrono::steady_clock::now();
    std::size_t readInWindow = 0;
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
    const auto now = std::chrono::steady_clock::now();
    if (now - socket.windowStart >= std::chrono::seconds(1)) {
        socket.windowStart = now;
        socket.readInWindow = 0;
    }
    if (socket.readInWindow >= socket.options.messagesPerSecond) {
        socket.pace.expires_at(socket.windowStart + std::chrono::seconds(1));
        socket.pace.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec && !self->closed_) {
                self->readMessage();
            }
        });
        return;
    }
    ++socket.readInWindow;
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
    const bool kept =
        socket.stream.got_text() && socket.handlers.onMessage && socket.handlers.onMessage(message);
    socket.buffer.consume(socket.buffer.size());
    if (!kept) {
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
