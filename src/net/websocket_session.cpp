// The client WebSocket: Beast's websocket stream over a verified TLS stream. The only file that
// instantiates it, since it is slow to compile.
#include <malloc.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <deque>
#include <optional>

#include "common/log.hpp"
#include "net/session_start.hpp"
#include "net/tls_client.hpp"

namespace td::net {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using boost::system::error_code;

// Resolving, connecting and both handshakes together; a relay that takes longer is not there.
constexpr auto OPEN_TIMEOUT = std::chrono::seconds(30);
// A connection silent this long is dead (a network that went away says nothing): a ping goes
// out after half of it, and no answer by the end closes the socket.
constexpr auto IDLE_TIMEOUT = std::chrono::seconds(60);
// Messages waiting to be sent: a peer that stops reading ends the connection past this, rather
// than making the agent hold everything it asks for.
constexpr std::size_t MAX_QUEUED_BYTES = 16 * 1024 * 1024;
constexpr std::size_t TRIM_AFTER_BYTES = 1024 * 1024;

using Stream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

class WebSocketSession final : public WebSocket,
                               public std::enable_shared_from_this<WebSocketSession> {
  public:
    WebSocketSession(const SessionStrand& strand, std::function<ssl::context&()> tls, Target target,
                     WebSocketHandlers handlers)
        : strand_(strand),
          resolver_(strand),
          openTimer_(strand),
          tls_(std::move(tls)),
          target_(std::move(target)),
          handlers_(std::move(handlers)) {}

    void start() {
        asio::post(strand_, [self = shared_from_this()] { self->resolve(); });
    }

    void sendText(std::string text) override { queue(std::move(text), /*binary=*/false); }
    void sendBinary(std::string bytes) override { queue(std::move(bytes), /*binary=*/true); }

    void queue(std::string message, bool binary) {
        asio::post(strand_,
                   [self = shared_from_this(), message = std::move(message), binary]() mutable {
                       if (self->ended_ || self->closing_) {
                           return;
                       }
                       if (self->queuedBytes_ + message.size() > MAX_QUEUED_BYTES) {
                           return self->end("the peer reads nothing of what is sent");
                       }
                       self->queuedBytes_ += message.size();
                       self->outbox_.push_back({std::move(message), binary});
                       if (self->open_ && self->outbox_.size() == 1) {
                           self->writeNext();
                       }
                   });
    }

    void close() override {
        asio::post(strand_, [self = shared_from_this()] { self->closeNow(); });
    }

    std::string host() const override { return hostField(); }

  private:
    void resolve() {
        if (closing_) {
            return;
        }
        stream_.emplace(strand_, tls_());
        if (!expectPeer(stream_->next_layer().native_handle(), target_.host)) {
            return end("cannot set the name the certificate must carry");
        }
        openTimer_.expires_after(OPEN_TIMEOUT);
        openTimer_.async_wait([self = shared_from_this()](const error_code& ec) {
            if (!ec && !self->open_) {
                self->end("timed out while connecting");
            }
        });
        const auto [host, port] = whereToConnect();
        resolver_.async_resolve(
            host, port,
            [self = shared_from_this()](const error_code& ec, tcp::resolver::results_type found) {
                self->onResolve(ec, std::move(found));
            });
    }

    // The URL's host and port, or the address the owner named instead: the certificate, the
    // server name and Host still name the URL's host.
    std::pair<std::string, std::string> whereToConnect() const {
        const std::string& to = handlers_.connectTo;
        const std::size_t colon = to.rfind(':');
        if (to.empty() || colon == std::string::npos) {
            return {target_.host, target_.port};
        }
        std::string host = to.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        return {host, to.substr(colon + 1)};
    }

    void onResolve(const error_code& ec, const tcp::resolver::results_type& found) {
        if (ec) {
            return end("cannot resolve " + target_.host + ": " + ec.message());
        }
        beast::get_lowest_layer(*stream_).async_connect(
            found, [self = shared_from_this()](const error_code& connectEc, const tcp::endpoint&) {
                self->onConnect(connectEc);
            });
    }

    void onConnect(const error_code& ec) {
        if (ec) {
            return end("cannot connect: " + ec.message());
        }
        // Messages are small and answered at once (a relay's frames carry phones' TLS records):
        // none may wait for the peer's delayed ACK.
        error_code ignored;
        beast::get_lowest_layer(*stream_).socket().set_option(tcp::no_delay(true), ignored);
        stream_->next_layer().async_handshake(
            ssl::stream_base::client,
            [self = shared_from_this()](const error_code& hsEc) { self->onTlsHandshake(hsEc); });
    }

    void onTlsHandshake(const error_code& ec) {
        if (ec) {
            return end("TLS handshake failed: " + ec.message());
        }
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = OPEN_TIMEOUT;
        timeouts.idle_timeout = IDLE_TIMEOUT;
        timeouts.keep_alive_pings = true;
        stream_->set_option(timeouts);
        stream_->read_message_max(handlers_.maxMessageBytes);
        stream_->async_handshake(
            hostField(), target_.path,
            [self = shared_from_this()](const error_code& wsEc) { self->onUpgrade(wsEc); });
    }

    void onUpgrade(const error_code& ec) {
        if (ec) {
            return end("WebSocket upgrade failed: " + ec.message());
        }
        if (closing_) {
            return;
        }
        open_ = true;
        openTimer_.cancel();
        if (handlers_.onOpen) {
            handlers_.onOpen();
        }
        if (!outbox_.empty()) {
            writeNext();
        }
        read();
    }

    void read() {
        stream_->async_read(buffer_, [self = shared_from_this()](
                                         const error_code& ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(const error_code& ec) {
        if (ec) {
            // After our own close the read ends with operation_aborted or `closed`: not news.
            // A peer's close frame counts as its close, whatever the ending of TLS after it.
            const bool closedByPeer = ec == websocket::error::closed ||
                                      stream_->reason().code != websocket::close_code::none;
            return end(closedByPeer
                           ? "closed by the peer (" + std::to_string(stream_->reason().code) + ")"
                           : "connection lost: " + ec.message());
        }
        if (stream_->got_text() && handlers_.onText && !closing_) {
            handlers_.onText(beast::buffers_to_string(buffer_.data()));
        } else if (!stream_->got_text() && handlers_.onBinary && !closing_) {
            handlers_.onBinary(beast::buffers_to_string(buffer_.data()));
        }
        buffer_.consume(buffer_.size());
        if (!ended_) {
            read();
        }
    }

    void writeNext() {
        writing_ = true;
        stream_->text(!outbox_.front().binary);
        stream_->async_write(asio::buffer(outbox_.front().bytes),
                             [self = shared_from_this()](const error_code& ec, std::size_t) {
                                 self->onWritten(ec);
                             });
    }

    void onWritten(const error_code& ec) {
        writing_ = false;
        if (ec) {
            return end("cannot send: " + ec.message());
        }
        queuedBytes_ -= outbox_.front().bytes.size();
        outbox_.pop_front();
        if (!outbox_.empty() && !closing_) {
            writeNext();
        }
    }

    void closeNow() {
        if (closing_) {
            return;
        }
        closing_ = true;
        handlers_ = {};
        dropOutbox();
        openTimer_.cancel();
        resolver_.cancel();
        if (open_ && !ended_) {
            // Beast lets a close run beside the read and a write in flight.
            stream_->async_close(
                websocket::close_code::normal,
                [self = shared_from_this()](const error_code&) { self->shutDown(); });
            return;
        }
        shutDown();
    }

    void shutDown() {
        if (stream_) {
            error_code ignored;
            beast::get_lowest_layer(*stream_).socket().close(ignored);
        }
    }

    void end(const std::string& why) {
        if (ended_) {
            return;
        }
        ended_ = true;
        openTimer_.cancel();
        shutDown();
        dropOutbox();
        if (closing_) {
            return;
        }
        TD_LOG(https, target_.host + ": WebSocket " + why);
        if (auto onEnd = std::move(handlers_.onEnd)) {
            handlers_ = {};
            onEnd(why);
        }
    }

    // What waits is dropped, but a message being written stays until its write ends. Much that
    // waited goes back to the system too: glibc would keep it.
    void dropOutbox() {
        const std::size_t dropped = queuedBytes_;
        while (outbox_.size() > (writing_ ? 1 : 0)) {
            queuedBytes_ -= outbox_.back().bytes.size();
            outbox_.pop_back();
        }
        if (dropped > TRIM_AFTER_BYTES) {
            ::malloc_trim(0);
        }
    }

    std::string hostField() const { return target_.hostField(); }

    SessionStrand strand_;
    tcp::resolver resolver_;
    asio::steady_timer openTimer_;
    std::function<ssl::context&()> tls_;
    std::optional<Stream> stream_;  // made on the strand, where the TLS context may be read
    Target target_;
    WebSocketHandlers handlers_;
    beast::flat_buffer buffer_;
    struct Outgoing {
        std::string bytes;
        bool binary = false;
    };
    std::deque<Outgoing> outbox_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool open_ = false;
    bool closing_ = false;
    bool ended_ = false;
};

}  // namespace

std::shared_ptr<WebSocket> startWebSocket(const SessionStrand& strand,
                                          std::function<ssl::context&()> tls, Target target,
                                          WebSocketHandlers handlers) {
    auto session =
        std::make_shared<WebSocketSession>(strand, tls, std::move(target), std::move(handlers));
    session->start();
    return session;
}

}  // namespace td::net
