#pragma once
// A phone's HTTP connection and an agent's WebSocket, over a plain or a TLS stream; included only
// by the two files that instantiate them.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <deque>

#include "common/page_guard.hpp"
#include "common/utf8.hpp"
#include "relay_server/hub.hpp"
#include "relay_server/session_start.hpp"
#include "relay_server/tls_socket.hpp"

namespace td::relay_server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using boost::system::error_code;

using TlsStream = TlsSocket;

// A phone's request head may carry cookies and a token, not pages of headers.
inline constexpr std::uint32_t MAX_HEADER_BYTES = 64 * 1024;
// A whole request must arrive, and a whole answer leave, within this.
inline constexpr auto REQUEST_TIMEOUT = std::chrono::seconds(30);
// An idle kept-alive phone connection is closed after this.
inline constexpr auto KEEP_ALIVE_TIMEOUT = std::chrono::seconds(60);
// After refusing a body, its unread rest is read and dropped this long, so that closing does
// not reset the connection before the refusal is read.
inline constexpr auto LINGER_TIMEOUT = std::chrono::seconds(2);
// An agent's socket silent this long is dead: a ping goes out after half of it.
inline constexpr auto AGENT_IDLE_TIMEOUT = std::chrono::seconds(60);

inline std::string peerOf(const tcp::socket& socket) {
    error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    return ec ? std::string("an unknown address") : endpoint.address().to_string();
}

// The agent's side: its requests go down the socket in order, replies come up in any order.
template <typename Stream>
class AgentSession final : public AgentLink,
                           public std::enable_shared_from_this<AgentSession<Stream>> {
  public:
    AgentSession(Stream&& stream, Hub& hub, std::string id, std::string peer)
        : socket_(std::move(stream)), hub_(hub), id_(std::move(id)), peer_(std::move(peer)) {}

    void accept(const http::request<http::string_body>& upgrade) {
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = REQUEST_TIMEOUT;
        timeouts.idle_timeout = AGENT_IDLE_TIMEOUT;
        timeouts.keep_alive_pings = true;
        beast::get_lowest_layer(socket_).expires_never();  // the socket's own timeouts rule now
        socket_.set_option(timeouts);
        socket_.read_message_max(relay::MAX_ENVELOPE_BYTES);
        socket_.async_accept(upgrade, [self = this->shared_from_this()](const error_code& ec) {
            self->onAccept(ec);
        });
    }

    bool forward(const relay::RequestEnvelope& envelope, Answer answer) override {
        if (ended_) {
            answer(std::nullopt);
            return true;
        }
        if (pending_.size() >= hub_.options().maxInFlightPerAgent) {
            return false;
        }
        pending_.add(envelope.reqId, std::move(answer));
        outbox_.push_back(relay::writeRequestEnvelope(envelope));
        if (outbox_.size() == 1) {
            writeNext();
        }
        return true;
    }

    void abandon(const std::string& reqId) override { pending_.remove(reqId); }

    void close() override {
        if (ended_ || closing_) {
            return;
        }
        closing_ = true;
        socket_.async_close(websocket::close_code::policy_error,
                            [self = this->shared_from_this()](const error_code&) {});
        end();
    }

  private:
    void onAccept(const error_code& ec) {
        if (ec) {
            return;  // never registered
        }
        hub_.attach(id_, this->shared_from_this(), peer_);
        attached_ = true;
        read();
    }

    void read() {
        socket_.async_read(buffer_, [self = this->shared_from_this()](
                                        const error_code& ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(const error_code& ec) {
        if (ec) {
            return end();
        }
        if (socket_.got_text()) {
            if (auto reply = relay::readReplyEnvelope(beast::buffers_to_string(buffer_.data()))) {
                pending_.settle(*reply);
            }
        }
        buffer_.consume(buffer_.size());
        read();
    }

    void writeNext() {
        socket_.text(true);
        socket_.async_write(asio::buffer(outbox_.front()),
                            [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                                self->onWritten(ec);
                            });
    }

    void onWritten(const error_code& ec) {
        if (ec) {
            return end();
        }
        outbox_.pop_front();
        if (!outbox_.empty()) {
            writeNext();
        }
    }

    // Phones waiting on this agent hear that it is gone.
    void end() {
        if (ended_) {
            return;
        }
        ended_ = true;
        outbox_.clear();
        if (attached_) {
            hub_.detach(id_, this, peer_);
        }
        pending_.failAll();
    }

    websocket::stream<Stream> socket_;
    Hub& hub_;
    const std::string id_;
    const std::string peer_;
    beast::flat_buffer buffer_;
    std::deque<std::string> outbox_;
    PendingReplies pending_;
    bool attached_ = false;
    bool closing_ = false;
    bool ended_ = false;
};

// A phone's connection: requests one after another (kept alive), each forwarded to its agent and
// answered from the agent's reply; or an agent's upgrade, which hands the stream over.
template <typename Stream>
class PhoneSession final : public std::enable_shared_from_this<PhoneSession<Stream>> {
  public:
    PhoneSession(Stream&& stream, Hub& hub, std::string peer)
        : stream_(std::move(stream)),
          hub_(hub),
          peer_(std::move(peer)),
          replyTimer_(stream_.get_executor()) {}

    void start() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            beast::get_lowest_layer(stream_).expires_after(REQUEST_TIMEOUT);
            stream_.async_handshake([self = this->shared_from_this()](const error_code& ec) {
                if (ec) {
                    return self->closeNow();
                }
                self->readRequest();
            });
        } else {
            readRequest();
        }
    }

  private:
    void readRequest() {
        parser_.emplace();
        parser_->header_limit(MAX_HEADER_BYTES);
        parser_->body_limit(hub_.options().maxBody);
        beast::get_lowest_layer(stream_).expires_after(served_ ? KEEP_ALIVE_TIMEOUT
                                                               : REQUEST_TIMEOUT);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                             self->onRequest(ec);
                         });
    }

    void onRequest(const error_code& ec) {
        if (ec == http::error::body_limit) {
            return answer(413, "text/plain", "Payload Too Large", false);
        }
        if (ec == http::error::header_limit) {
            return answer(431, "text/plain", "Request Header Fields Too Large", false);
        }
        if (ec) {
            return closeNow();  // the phone left, timed out, or sent no HTTP
        }
        auto& request = parser_->get();
        const Route route = routeFor(request.target());
        switch (route.kind) {
            case Route::Kind::health:
                return answer(200, "text/plain", "ok", request.keep_alive());
            case Route::Kind::agentSocket:
                if (!websocket::is_upgrade(request)) {
                    return answer(400, "text/plain", "Expected a WebSocket upgrade", false);
                }
                return std::make_shared<AgentSession<Stream>>(std::move(stream_), hub_, route.id,
                                                              peer_)
                    ->accept(request);
            case Route::Kind::badAgentId:
                return answer(400, "text/plain", "Bad agent id", false);
            case Route::Kind::phoneRedirect:
                location_ = route.rest;
                return answer(301, "text/plain", {}, request.keep_alive());
            case Route::Kind::phone:
                return forward(route);
            case Route::Kind::notFound:
                break;
        }
        answer(404, "text/plain", "Not Found", request.keep_alive());
    }

    void forward(const Route& route) {
        auto& request = parser_->get();
        const bool keepAlive = request.keep_alive();
        auto agent = hub_.find(route.id);
        if (!agent) {
            return answer(502, "text/plain", "The computer is not connected", keepAlive);
        }
        if (!isValidUtf8(request.body())) {
            return answer(400, "text/plain", "The body must be UTF-8 text", keepAlive);
        }
        relay::RequestEnvelope envelope{hub_.nextRequestId(),
                                        std::string(request.method_string()),
                                        route.rest,
                                        {},
                                        std::move(request.body())};
        const std::string_view connection = request[http::field::connection];
        for (const auto& field : request) {
            if (!isHopByHop(field.name_string(), connection)) {
                envelope.headers.emplace_back(field.name_string(), field.value());
            }
        }
        // The agent may answer at once (when it is already gone): wait before asking.
        const std::string reqId = envelope.reqId;
        waitingFor_ = reqId;
        const bool sent =
            agent->forward(envelope, [weak = this->weak_from_this(), reqId,
                                      keepAlive](std::optional<relay::ReplyEnvelope> reply) {
                if (auto self = weak.lock()) {
                    self->onReply(reqId, std::move(reply), keepAlive);
                }
            });
        if (!sent) {
            waitingFor_.clear();
            return answer(503, "text/plain", "The computer is busy", keepAlive);
        }
        if (waitingFor_ == reqId) {
            startReplyTimer(reqId, agent, keepAlive);
        }
    }

    void startReplyTimer(const std::string& reqId, const std::shared_ptr<AgentLink>& agent,
                         bool keepAlive) {
        beast::get_lowest_layer(stream_).expires_never();
        replyTimer_.expires_after(hub_.options().replyTimeout);
        replyTimer_.async_wait([self = this->shared_from_this(), weakAgent = std::weak_ptr(agent),
                                reqId, keepAlive](const error_code& ec) {
            if (ec || self->waitingFor_ != reqId) {
                return;
            }
            if (auto agent = weakAgent.lock()) {
                agent->abandon(reqId);
            }
            self->waitingFor_.clear();
            self->answer(504, "text/plain", "The computer did not answer in time", keepAlive);
        });
    }

    void onReply(const std::string& reqId, std::optional<relay::ReplyEnvelope> reply,
                 bool keepAlive) {
        if (reqId != waitingFor_) {
            return;  // answered 504 already
        }
        waitingFor_.clear();
        replyTimer_.cancel();
        if (!reply) {
            return answer(502, "text/plain", "The computer went away", keepAlive);
        }
        answer(reply->status, reply->contentType, std::move(reply->body), keepAlive);
    }

    void answer(int status, std::string_view contentType, std::string body, bool keepAlive) {
        response_.emplace();
        response_->result(static_cast<unsigned>(status));
        response_->version(11);
        if (!contentType.empty()) {
            response_->set(http::field::content_type, contentType);
        }
        if (!location_.empty()) {
            response_->set(http::field::location, location_);
            location_.clear();
        }
        response_->set(http::field::cache_control, "no-store");
        addPageGuards(*response_);
        response_->keep_alive(keepAlive);
        response_->body() = std::move(body);
        response_->prepare_payload();
        beast::get_lowest_layer(stream_).expires_after(REQUEST_TIMEOUT);
        http::async_write(
            stream_, *response_,
            [self = this->shared_from_this(), keepAlive](const error_code& ec, std::size_t) {
                self->onWritten(ec, keepAlive);
            });
    }

    static void addPageGuards(http::response<http::string_body>& response) {
        std::string_view lines = PAGE_GUARD_HEADERS;
        while (!lines.empty()) {
            const std::size_t end = lines.find("\r\n");
            const std::string_view line = lines.substr(0, end);
            const std::size_t colon = line.find(": ");
            response.set(line.substr(0, colon), line.substr(colon + 2));
            lines.remove_prefix(end + 2);
        }
    }

    void onWritten(const error_code& ec, bool keepAlive) {
        served_ = true;
        if (ec) {
            return closeNow();
        }
        if (keepAlive && parser_ && parser_->is_done()) {
            return readRequest();
        }
        linger();
    }

    // Reads and drops what the phone still sends, then closes.
    void linger() {
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
        beast::get_lowest_layer(stream_).expires_after(LINGER_TIMEOUT);
        drain_.resize(16 * 1024);
        stream_.async_read_some(asio::buffer(drain_), [self = this->shared_from_this()](
                                                          const error_code& ec, std::size_t) {
            if (ec) {
                return self->closeNow();
            }
            self->linger();
        });
    }

    void closeNow() {
        error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

    Stream stream_;
    Hub& hub_;
    const std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    asio::steady_timer replyTimer_;
    std::string waitingFor_;
    std::string location_;
    std::string drain_;
    bool served_ = false;
};

}  // namespace td::relay_server
