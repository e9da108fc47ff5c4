#pragma once
// A phone's HTTP connection and an agent's WebSocket, over a plain or a TLS stream; included only
// by the two files that instantiate them.

#include <malloc.h>

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
#include <exception>
#include <list>

#include "common/base64.hpp"
#include "common/page_guard.hpp"
#include "common/random.hpp"
#include "common/relay_proof.hpp"
#include "common/utf8.hpp"
#include "relay_server/hub.hpp"
#include "relay_server/session_start.hpp"
#include "relay_server/stream_tunnel.hpp"
#include "relay_server/tls_socket.hpp"

namespace td::relay_server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using boost::system::error_code;

using TlsStream = TlsSocket;

// A phone's request head may carry a token and the usual fields, not pages of them.
inline constexpr std::uint32_t MAX_HEADER_BYTES = 64 * 1024;
// Cookies are not counted in that: the pages use none, but a page of another computer under the
// same domain may have set some, and they must not lock the browser out. They are read and
// dropped, never passed on; this bounds them past any browser's store for one site (180 of
// 4 KiB), and what a head holds past MAX_HEADER_BYTES counts against its address's share.
inline constexpr std::uint32_t MAX_COOKIE_BYTES = 1024 * 1024;
// A whole request must arrive, and a whole answer leave, within this.
inline constexpr auto REQUEST_TIMEOUT = std::chrono::seconds(30);
// An idle kept-alive phone connection is closed after this.
inline constexpr auto KEEP_ALIVE_TIMEOUT = std::chrono::seconds(60);
// After refusing a body, its unread rest is read and dropped this long, so that closing does
// not reset the connection before the refusal is read.
inline constexpr auto LINGER_TIMEOUT = std::chrono::seconds(2);
// Request envelopes written to one agent but not yet taken by its socket: an agent that stops
// reading is closed past this rather than left to fill the relay's memory.
inline constexpr std::size_t MAX_QUEUED_BYTES_PER_AGENT = 8 * 1024 * 1024;
// A read buffer that grew past this for one large message is given back after it.
inline constexpr std::size_t KEEP_BUFFER_BYTES = 64 * 1024;
// Past this, what was given back also goes back to the system (glibc would keep it).
inline constexpr std::size_t TRIM_AFTER_BYTES = 1024 * 1024;
// Before its proof an agent's socket takes no message larger than a proof.
inline constexpr std::size_t MAX_PROOF_BYTES = 1024;
// The WebSocket's own handshakes, the closing one included: an agent that does not answer a
// close frame is cut off after this, and its phones hear of it no later.
inline constexpr auto AGENT_HANDSHAKE_TIMEOUT = std::chrono::seconds(5);
// How long a closed agent has to answer the close frame before its socket is closed anyway.
inline constexpr auto CLOSE_GRACE = std::chrono::seconds(2);
// The service worker of every page on a relay whose computers share one origin: it serves
// nothing and unregisters itself.
inline constexpr std::string_view RETIRING_WORKER =
    "self.addEventListener('install', () => self.skipWaiting());\n"
    "self.addEventListener('activate', (event) => "
    "event.waitUntil(self.registration.unregister()));\n";
// Header fields a phone's request may carry to its agent.
inline constexpr std::size_t MAX_HEADER_FIELDS = 100;
// Answers larger than this are held against the phone's address until it has read them.
inline constexpr std::size_t SMALL_ANSWER_BYTES = 64 * 1024;
// Read at a time while a head arrives.
inline constexpr std::size_t HEAD_READ_BYTES = 16 * 1024;

// A request parser that reads cookies but keeps none, and counts the rest of the head against
// MAX_HEADER_BYTES.
class PhoneRequestParser final : public http::request_parser<http::string_body> {
  public:
    PhoneRequestParser() { header_limit(MAX_HEADER_BYTES + MAX_COOKIE_BYTES); }

  private:
    void on_field_impl(http::field name, beast::string_view nameText, beast::string_view value,
                       error_code& ec) override {
        if (name == http::field::cookie) {
            return;
        }
        // As it stood in the head: name, ": ", value and the line's end.
        fieldBytes_ += nameText.size() + value.size() + 4;
        if (fieldBytes_ > MAX_HEADER_BYTES) {
            ec = http::error::header_limit;
            return;
        }
        get().insert(name, nameText, value);
    }

    std::size_t fieldBytes_ = 0;
};

inline std::string peerOf(const tcp::socket& socket) {
    error_code ignored;
    const auto endpoint = socket.remote_endpoint(ignored);
    return ignored ? std::string("an unknown address") : endpoint.address().to_string();
}

// Runs a handler's body; an exception (which nothing here should throw) ends that connection
// instead of the network thread.
template <typename Body, typename OnFailure>
void guarded(Body&& body, OnFailure&& onFailure) noexcept {
    try {
        body();
    } catch (const std::exception&) {
        try {
            onFailure();
        } catch (...) {
        }
    }
}

// The agent's side: after the upgrade it proves its identifier; then its requests go down the
// socket in order and replies come up in any order.
template <typename Stream>
class AgentSession final : public AgentLink,
                           public IdleConnection,
                           public std::enable_shared_from_this<AgentSession<Stream>> {
  public:
    AgentSession(Stream&& stream, Hub& hub, std::string id, std::string peer, AddressSlot slot,
                 ConnectionTicket ticket)
        : socket_(std::move(stream)),
          hub_(hub),
          id_(std::move(id)),
          peer_(std::move(peer)),
          slot_(std::move(slot)),
          ticket_(std::move(ticket)),
          proofTimer_(socket_.get_executor()),
          messageTimer_(socket_.get_executor()) {}

    void accept(const http::request<http::string_body>& upgrade) {
        unprovenPlace_ = hub_.connections.waitingForProof(this->weak_from_this());
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = AGENT_HANDSHAKE_TIMEOUT;
        timeouts.idle_timeout = hub_.options().agentIdleTimeout;
        timeouts.keep_alive_pings = true;
        beast::get_lowest_layer(socket_).expires_never();  // the socket's own timeouts rule now
        socket_.set_option(timeouts);
        socket_.read_message_max(MAX_PROOF_BYTES);
        const std::string host(upgrade[http::field::host]);
        socket_.async_accept(upgrade,
                             [self = this->shared_from_this(), host](const error_code& ec) {
                                 guarded([&] { self->onAccept(ec, host); }, [&] { self->close(); });
                             });
    }

    bool forward(const std::string& reqId, std::string text, Answer answer, Sent sent) override {
        if (ended_ || !proven_) {
            sent();
            answer(std::nullopt);
            return true;
        }
        if (pending_.size() >= hub_.options().maxInFlightPerAgent) {
            return false;
        }
        if (queuedBytes_ + text.size() > MAX_QUEUED_BYTES_PER_AGENT) {
            hub_.log("Agent closed from " + peer_ + ": it takes no requests");
            sent();
            answer(std::nullopt);
            close();
            return true;
        }
        pending_.add(reqId, std::move(answer));
        send(std::move(text), std::move(sent));
        return true;
    }

    void abandon(const std::string& reqId) override { pending_.abandon(reqId); }

    void close() override { closeWith(websocket::close_code::normal); }

    std::size_t heldMessageBytes() const override { return heldMessage_; }
    const std::string& address() const override { return peer_; }
    std::shared_ptr<StreamTunnel> tunnel() const override { return tunnel_; }

    void giveWay() override {
        hub_.log("Agent closed from " + peer_ + ": its message gave way to another's");
        closeWith(websocket::close_code::try_again_later);
    }

    // Room for a connection that is of use: this one has not proven its identifier.
    void evict() override {
        unprovenPlace_.reset();  // the book took it off its list
        end();
        error_code ignored;
        beast::get_lowest_layer(socket_).socket().close(ignored);
        ticket_.release();
    }

  private:
    void onAccept(const error_code& ec, const std::string& host) {
        if (ec) {
            return end();  // never registered
        }
        const auto random = secureRandomBytes(relay::CHALLENGE_BYTES);
        challenge_ = base64UrlEncode(std::string(random.begin(), random.end()));
        host_ = host;
        send(relay::writeChallenge({challenge_, hub_.phoneUrl(id_, host), /*binaryReplies=*/true,
                                    /*streams=*/hub_.options().passthrough}),
             [] {});
        proofTimer_.expires_after(hub_.options().proofTimeout);
        proofTimer_.async_wait([weak = this->weak_from_this()](const error_code& waitEc) {
            if (auto self = weak.lock(); self && !waitEc && !self->proven_) {
                self->hub_.metrics.proved(RelayMetrics::Proof::timeout);
                self->closeWith(websocket::close_code::policy_error);
            }
        });
        read();
    }

    void read() {
        socket_.async_read_some(
            buffer_, KEEP_BUFFER_BYTES,
            [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                guarded([&] { self->onRead(ec); }, [&] { self->close(); });
            });
    }

    void onRead(const error_code& ec) {
        if (ec) {
            return end();
        }
        if (ended_) {
            // A read under way when the socket was closed still brings what was in flight:
            // dropped, and never held against the budget (end() gave this agent's share back).
            buffer_.consume(buffer_.size());
            return;
        }
        if (proven_ && !messageBegun_ && !pending_.expectsReply() &&
            !(tunnel_ && tunnel_->expectsFrames())) {
            // An agent speaks only to answer: nothing of a message nobody asked for is held.
            hub_.log("Agent closed from " + peer_ + ": it sent what nobody asked for");
            return closeWith(websocket::close_code::policy_error);
        }
        // A proven agent's message counts, as it grows, against what agents' messages may
        // hold; a proof is too small to count.
        if (proven_ && buffer_.size() > heldMessage_) {
            if (!hub_.holdMessage(peer_, buffer_.size() - heldMessage_)) {
                hub_.log("Agent closed from " + peer_ + ": its address's messages fill its share");
                return closeWith(websocket::close_code::try_again_later);
            }
            heldMessage_ = buffer_.size();
        }
        if (!socket_.is_message_done()) {
            if (!messageBegun_) {
                messageBegun_ = true;
                startMessageDeadline();
            }
            return read();
        }
        messageBegun_ = false;
        messageTimer_.cancel();
        onMessage(beast::buffers_to_string(buffer_.data()), !socket_.got_text());
        releaseBuffer();
        if (!ended_ && !closing_) {
            read();
        }
    }

    void releaseBuffer() {
        hub_.releaseMessage(peer_, std::exchange(heldMessage_, 0));
        buffer_.consume(buffer_.size());
        const std::size_t grown = buffer_.capacity();
        if (grown > KEEP_BUFFER_BYTES) {
            buffer_ = beast::flat_buffer();
            if (grown > TRIM_AFTER_BYTES) {
                ::malloc_trim(0);
            }
        }
    }

    void startMessageDeadline() {
        // Trickled fragments keep no socket alive: the message must end in the idle time.
        messageTimer_.expires_after(hub_.options().agentIdleTimeout);
        messageTimer_.async_wait([weak = this->weak_from_this()](const error_code& waitEc) {
            if (auto self = weak.lock(); self && !waitEc) {
                self->hub_.log("Agent closed from " + self->peer_ + ": a message never ended");
                self->closeWith(websocket::close_code::policy_error);
            }
        });
    }

    void onMessage(const std::string& text, bool binary) {
        if (proven_ && binary && relay::isStreamFrame(text)) {
            const auto frame = relay::readStreamFrame(text);
            if (!frame || !tunnel_ || !tunnel_->onFrame(*frame)) {
                hub_.log("Agent closed from " + peer_ + ": it broke the rules of its streams");
                closeWith(websocket::close_code::policy_error);
            }
            return;
        }
        if (proven_) {
            // Only replies to requests it was sent: anything else (a reply nobody asked for, one
            // that cannot be read) is an agent broken or hostile, and its phones hear at once
            // rather than at their time-out. A reply whose phone stopped waiting is dropped:
            // the agent was only slow.
            const auto reply =
                binary ? relay::readBinaryReply(text) : relay::readReplyEnvelope(text);
            if (!reply || pending_.settle(*reply) == PendingReplies::Outcome::unknown) {
                hub_.log("Agent closed from " + peer_ + ": it sent what is no reply of ours");
                closeWith(websocket::close_code::policy_error);
            }
            return;
        }
        const auto proof = binary ? std::nullopt : relay::readProof(text);
        const bool valid = proof && relay::relayIdForKey(proof->rawPublicKey) == id_ &&
                           relay::signatureIsValid(proof->rawPublicKey, proof->signature,
                                                   relay::proofMessage(host_, id_, challenge_));
        proofTimer_.cancel();
        hub_.metrics.proved(valid ? RelayMetrics::Proof::ok : RelayMetrics::Proof::bad);
        if (!valid) {
            return closeWith(websocket::close_code::policy_error);
        }
        proven_ = true;
        if (unprovenPlace_) {
            hub_.connections.proven(*std::exchange(unprovenPlace_, std::nullopt));
        }
        ticket_.becomeAgent();
        if (hub_.options().passthrough) {
            tunnel_ = std::make_shared<StreamTunnel>(
                hub_, [weak = this->weak_from_this()](std::string frame, Sent sent) {
                    if (auto self = weak.lock()) {
                        self->send(std::move(frame), sent ? std::move(sent) : Sent([] {}),
                                   /*binary=*/true);
                    }
                });
        }
        socket_.read_message_max(relay::MAX_REPLY_ENVELOPE_BYTES);
        hub_.attach(id_, this->shared_from_this(), peer_);
        attached_ = true;
    }

    void send(std::string text, Sent sent, bool binary = false) {
        if (ended_ || closing_) {
            return sent();
        }
        queuedBytes_ += text.size();
        outbox_.push_back({std::move(text), std::move(sent), binary});
        if (!writing_) {
            writeNext();
        }
    }

    void writeNext() {
        writing_ = true;
        socket_.binary(outbox_.front().binary);
        socket_.async_write(asio::buffer(outbox_.front().text),
                            [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                                guarded([&] { self->onWritten(ec); }, [&] { self->close(); });
                            });
    }

    void onWritten(const error_code& ec) {
        writing_ = false;
        queuedBytes_ -= outbox_.front().text.size();
        const Sent sent = std::move(outbox_.front().sent);
        outbox_.pop_front();
        if (ec) {
            sent();
            return end();
        }
        if (!outbox_.empty() && !closing_ && !ended_) {
            writeNext();
        }
        // Last: it may queue more (a stream's next frame), which must find the write begun.
        sent();
    }

    // Says why in a close frame; an agent that does not answer it within CLOSE_GRACE loses
    // the connection anyway, rather than holding it for the handshake's time-out.
    void closeWith(websocket::close_code code) {
        if (ended_ || closing_) {
            return;
        }
        closing_ = true;
        socket_.async_close(code, [self = this->shared_from_this()](const error_code&) {});
        end();
        messageTimer_.expires_after(CLOSE_GRACE);
        messageTimer_.async_wait([weak = this->weak_from_this()](const error_code& ec) {
            if (auto self = weak.lock(); self && !ec) {
                error_code ignored;
                beast::get_lowest_layer(self->socket_).socket().close(ignored);
            }
        });
    }

    // Phones waiting on this agent hear that it is gone.
    void end() {
        if (ended_) {
            return;
        }
        ended_ = true;
        proofTimer_.cancel();
        if (!closing_) {
            messageTimer_.cancel();
        }
        if (unprovenPlace_) {
            hub_.connections.proven(*std::exchange(unprovenPlace_, std::nullopt));
        }
        // The message being written stays until its write ends: the socket still reads it.
        while (outbox_.size() > (writing_ ? 1 : 0)) {
            queuedBytes_ -= outbox_.back().text.size();
            const Sent sent = std::move(outbox_.back().sent);
            outbox_.pop_back();
            sent();
        }
        if (attached_) {
            hub_.detach(id_, this, peer_);
        }
        hub_.releaseMessage(peer_, std::exchange(heldMessage_, 0));
        pending_.failAll();
        if (tunnel_) {
            tunnel_->closeAll();
        }
    }

    websocket::stream<Stream> socket_;
    Hub& hub_;
    const std::string id_;
    const std::string peer_;
    AddressSlot slot_;
    ConnectionTicket ticket_;
    asio::steady_timer proofTimer_;
    asio::steady_timer messageTimer_;
    std::string challenge_;
    std::string host_;
    beast::flat_buffer buffer_;
    struct Outgoing {
        std::string text;
        Sent sent;
        bool binary = false;
    };
    // A list, not a deque: an idle agent holds no block of it.
    std::list<Outgoing> outbox_;
    std::optional<ConnectionBook::IdlePlace> unprovenPlace_;
    std::size_t queuedBytes_ = 0;
    std::size_t heldMessage_ = 0;  // of the message being read, counted in the hub
    PendingReplies pending_;
    std::shared_ptr<StreamTunnel> tunnel_;
    bool writing_ = false;
    bool messageBegun_ = false;
    bool proven_ = false;
    bool attached_ = false;
    bool closing_ = false;
    bool ended_ = false;
};

// A phone's connection: requests one after another (kept alive), each forwarded to its agent and
// answered from the agent's reply; or an agent's upgrade, which hands the stream over.
template <typename Stream>
class PhoneSession final : public IdleConnection,
                           public BodyReader,
                           public std::enable_shared_from_this<PhoneSession<Stream>> {
  public:
    PhoneSession(Stream&& stream, Hub& hub, std::string peer)
        : stream_(std::move(stream)),
          hub_(hub),
          peer_(std::move(peer)),
          ticket_(hub.connections),
          replyTimer_(stream_.get_executor()) {}

    ~PhoneSession() override {
        bodyArrived();
        releaseBody();
        releaseHead();
        releaseAnswer();
        if (idlePlace_) {
            hub_.connections.busy(*idlePlace_);
        }
    }

    void start() {
        waitIdle();
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

    // One at a time: a head arriving, then its body, then an answer the phone has not read.
    std::size_t heldBodyBytes() const override { return heldHead_ + heldBody_ + heldAnswer_; }
    const std::string& bodyAddress() const override {
        return heldHead_ > 0 ? peer_ : heldAnswer_ > 0 ? answerAddress_ : phoneSlot_.address();
    }

    // Room for other phones' bodies: this one's address holds the most, and it is not all here
    // (or not read).
    void giveWay() override {
        bodyArrived();
        releaseBody();
        releaseHead();
        releaseAnswer();
        closeNow();
    }

    // Room for a newer connection: this one has sent nothing it waits an answer for.
    void evict() override {
        idlePlace_.reset();  // the book took it off its list
        closeNow();
        ticket_.release();
    }

  private:
    void waitIdle() {
        if (!idlePlace_) {
            idlePlace_ = hub_.connections.waiting(this->weak_from_this());
        }
    }

    void stopIdling() {
        if (idlePlace_) {
            hub_.connections.busy(*idlePlace_);
            idlePlace_.reset();
        }
    }

    void readRequest() {
        parser_.emplace();
        parser_->body_limit(hub_.options().maxBody);
        waitIdle();
        beast::get_lowest_layer(stream_).expires_after(served_ ? KEEP_ALIVE_TIMEOUT
                                                               : REQUEST_TIMEOUT);
        readHead();
    }

    // Read by hand rather than by http::async_read_header, which returns only once the head is
    // whole: a head's size is judged as it grows.
    void readHead() {
        if (buffer_.size() > 0 && parseHead()) {
            return;
        }
        stream_.async_read_some(
            buffer_.prepare(HEAD_READ_BYTES),
            [self = this->shared_from_this()](const error_code& ec, std::size_t bytes) {
                guarded(
                    [&] {
                        if (ec) {
                            return self->closeNow();  // the phone left or timed out
                        }
                        self->buffer_.commit(bytes);
                        if (!self->parseHead()) {
                            self->readHead();
                        }
                    },
                    [&] { self->closeNow(); });
            });
    }

    // True once the head is whole or refused (and handed on); false while more is needed. A
    // head still arriving holds its bytes against its address's share (many slow heads of
    // 60 KiB would otherwise fill the relay's memory, and cookies may make one 1 MiB); once
    // parsed, its buffer goes and so does the hold.
    bool parseHead() {
        error_code ec;
        buffer_.consume(parser_->put(buffer_.data(), ec));
        if (ec == http::error::need_more) {
            if (buffer_.size() > heldHead_) {
                if (!hub_.holdBody(peer_, buffer_.size() - heldHead_)) {
                    bodyArrived();
                    releaseHead();
                    answer(503, "text/plain", "The relay is busy", false);
                    return true;
                }
                heldHead_ = buffer_.size();
                if (!bodyPlace_) {
                    bodyPlace_ = hub_.readingBody(this->weak_from_this());
                }
            }
            return false;
        }
        if (heldHead_ > 0) {
            bodyArrived();
            shrinkBuffer();
            releaseHead();
        }
        onHeader(ec);
        return true;
    }

    void releaseHead() { hub_.releaseBody(peer_, std::exchange(heldHead_, 0)); }
    void releaseAnswer() { hub_.releaseBody(answerAddress_, std::exchange(heldAnswer_, 0)); }

    // What follows the head, in a buffer of its own size.
    void shrinkBuffer() {
        beast::flat_buffer rest;
        rest.commit(asio::buffer_copy(rest.prepare(buffer_.size()), buffer_.data()));
        buffer_ = std::move(rest);
    }

    // The head is in; the connection stays one that may make room for others until its whole
    // request is (a body trickled in holds no place for good).
    void onHeader(const error_code& ec) {
        if (ec == http::error::header_limit) {
            return answer(431, "text/plain", "Request Header Fields Too Large", false);
        }
        if (ec == http::error::body_limit) {  // the declared length alone says so
            return answer(413, "text/plain", "Payload Too Large", false);
        }
        if (ec) {
            return closeNow();  // the phone left, timed out, or sent no HTTP
        }
        started_ = std::chrono::steady_clock::now();
        const auto& head = parser_->get();
        if (std::distance(head.begin(), head.end()) > static_cast<long>(MAX_HEADER_FIELDS)) {
            return answer(431, "text/plain", "Request Header Fields Too Large", false);
        }
        if (head.count(http::field::host) > 1) {
            return answer(400, "text/plain", "One Host, please", false);
        }
        const std::string address = hub_.clientAddress(peer_, head["X-Forwarded-For"]);
        if (!phoneSlot_.held() || phoneSlot_.address() != address) {
            phoneSlot_.reset();
            if (!hub_.phones.take(address)) {
                return answer(503, "text/plain", "Too many connections from one address", false);
            }
            phoneSlot_ = AddressSlot(hub_.phones, address);
        }
        const std::size_t body =
            parser_->content_length().value_or(parser_->chunked() ? hub_.options().maxBody : 0);
        if (body > hub_.options().maxBody) {
            return answer(413, "text/plain", "Payload Too Large", false);
        }
        if (!hub_.holdBody(address, body)) {
            return answer(503, "text/plain", "The relay is busy", false);
        }
        heldBody_ = body;
        if (parser_->is_done()) {
            return onRequest({});
        }
        if (body > 0) {
            bodyPlace_ = hub_.readingBody(this->weak_from_this());
        }
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                             guarded([&] { self->onRequest(ec); }, [&] { self->closeNow(); });
                         });
    }

    void onRequest(const error_code& ec) {
        stopIdling();
        bodyArrived();
        if (ec == http::error::body_limit) {
            return answer(413, "text/plain", "Payload Too Large", false);
        }
        if (ec) {
            return closeNow();
        }
        auto& request = parser_->get();
        const Route route =
            routeFor(request.target(), request[http::field::host], hub_.options().phoneDomain);
        switch (route.kind) {
            case Route::Kind::health:
                countAnswer_ = false;
                return answer(200, "text/plain", "ok", request.keep_alive());
            case Route::Kind::agentSocket:
                return becomeAgent(route, request);
            case Route::Kind::badAgentId:
                return answer(400, "text/plain", "Bad agent id", false);
            case Route::Kind::phoneRedirect:
                if (hub_.options().passthrough) {
                    break;  // a computer's pages come from itself, never through this side
                }
                location_ = route.rest;
                return answer(301, "text/plain", {}, request.keep_alive());
            case Route::Kind::phone:
                if (hub_.options().passthrough) {
                    return answer(421, "text/plain", "Misdirected Request", false);
                }
                return forward(route);
            case Route::Kind::notFound:
                break;
        }
        answer(404, "text/plain", "Not Found", request.keep_alive());
    }

    void becomeAgent(const Route& route, http::request<http::string_body>& request) {
        if (!websocket::is_upgrade(request)) {
            return answer(400, "text/plain", "Expected a WebSocket upgrade", false);
        }
        if (!hub_.isOwnName(request[http::field::host])) {
            return answer(421, "text/plain", "Agents reach this relay by its own name", false);
        }
        const std::string address = phoneSlot_.address();
        if (!hub_.agents.take(address)) {
            return answer(503, "text/plain", "Too many agents from one address", false);
        }
        countAnswer_ = false;
        releaseBody();
        phoneSlot_.reset();
        std::make_shared<AgentSession<Stream>>(std::move(stream_), hub_, route.id, address,
                                               AddressSlot(hub_.agents, address),
                                               std::move(ticket_))
            ->accept(request);
    }

    void forward(const Route& route) {
        auto& request = parser_->get();
        const bool keepAlive = request.keep_alive();
        if (hub_.options().phoneDomain.empty() && request.count("Service-Worker") > 0) {
            // Every computer's pages share this origin, and its storage: a worker of one could
            // serve what another's page wrote. Whatever worker a page asks for, it gets one
            // that takes itself away at once, which also retires one installed before.
            countAnswer_ = false;
            return answer(200, "text/javascript", std::string(RETIRING_WORKER), keepAlive);
        }
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
        // Escaped as JSON, a body may grow up to six times (a control character becomes \u0001):
        // what waits for the agent's socket is held at its real size.
        std::string text = relay::writeRequestEnvelope(envelope);
        if (text.size() > heldBody_) {
            if (!hub_.holdBody(phoneSlot_.address(), text.size() - heldBody_)) {
                return answer(503, "text/plain", "The relay is busy", keepAlive);
            }
            heldBody_ = text.size();
        }
        // The agent may answer at once (when it is already gone): wait before asking.
        const std::string reqId = envelope.reqId;
        waitingFor_ = reqId;
        const bool sent = agent->forward(
            reqId, std::move(text),
            [weak = this->weak_from_this(), reqId,
             keepAlive](std::optional<relay::ReplyEnvelope> reply) {
                if (auto self = weak.lock()) {
                    guarded([&] { self->onReply(reqId, std::move(reply), keepAlive); },
                            [&] { self->closeNow(); });
                }
            },
            [weak = this->weak_from_this(), reqId] {
                // The body is the agent's socket's now: it holds nothing of this phone's.
                if (auto self = weak.lock(); self && self->waitingFor_ == reqId) {
                    self->releaseBody();
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
        if (const auto problem = replyProblem(*reply)) {
            hub_.log("A reply from an agent was refused: " + *problem);
            return answer(502, "text/plain",
                          "The computer answered with something no phone can use", keepAlive);
        }
        answer(reply->status, reply->contentType, std::move(reply->body), keepAlive);
    }

    void answer(int status, std::string_view contentType, std::string body, bool keepAlive) {
        releaseBody();
        // An answer stays in memory until the phone has read it: a large one is held against the
        // phone's address's share, so that phones that read nothing cannot fill the relay.
        if (body.size() > SMALL_ANSWER_BYTES) {
            answerAddress_ = phoneSlot_.held() ? phoneSlot_.address() : peer_;
            if (hub_.holdBody(answerAddress_, body.size())) {
                heldAnswer_ = body.size();
                bodyPlace_ = hub_.readingBody(this->weak_from_this());  // until it is read
            } else {
                status = 503;
                contentType = "text/plain";
                body = "The relay is busy";
            }
        }
        if (countAnswer_) {
            hub_.metrics.answered(status, std::chrono::steady_clock::now() - started_);
        }
        countAnswer_ = true;
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
                guarded([&] { self->onWritten(ec, keepAlive); }, [&] { self->closeNow(); });
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
        response_.reset();  // a large answer's body goes now, not with the next answer
        bodyArrived();
        releaseAnswer();
        if (buffer_.capacity() > KEEP_BUFFER_BYTES) {
            buffer_ = beast::flat_buffer();
        }
        if (ec) {
            return closeNow();
        }
        if (keepAlive && parser_ && parser_->is_done()) {
            return readRequest();
        }
        linger();
    }

    // Ends the answer's side, so that the phone knows at once that the answer is whole (over
    // TLS with close_notify), then reads and drops what the phone still sends, and closes. Over
    // TLS, a request not read whole (answered early) is drained first: OpenSSL reads nothing
    // once it has said close_notify.
    void linger() {
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        } else if (parser_ && parser_->is_done()) {
            stream_.finishSending();
        }
        drain();
    }

    void drain() {
        beast::get_lowest_layer(stream_).expires_after(LINGER_TIMEOUT);
        drain_.resize(16 * 1024);
        stream_.async_read_some(asio::buffer(drain_), [self = this->shared_from_this()](
                                                          const error_code& ec, std::size_t) {
            if (ec) {
                if constexpr (std::is_same_v<Stream, TlsStream>) {
                    self->stream_.finishSending();
                }
                return self->closeNow();
            }
            self->drain();
        });
    }

    void closeNow() {
        stopIdling();
        error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

    void releaseBody() { hub_.releaseBody(phoneSlot_.address(), std::exchange(heldBody_, 0)); }

    void bodyArrived() {
        if (bodyPlace_) {
            hub_.bodyRead(*std::exchange(bodyPlace_, std::nullopt));
        }
    }

    Stream stream_;
    Hub& hub_;
    const std::string peer_;
    ConnectionTicket ticket_;
    AddressSlot phoneSlot_;
    std::optional<ConnectionBook::IdlePlace> idlePlace_;
    std::optional<Hub::BodyPlace> bodyPlace_;
    beast::flat_buffer buffer_;
    std::optional<PhoneRequestParser> parser_;
    std::optional<http::response<http::string_body>> response_;
    asio::steady_timer replyTimer_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::string waitingFor_;
    std::string location_;
    std::string drain_;
    std::size_t heldBody_ = 0;
    std::size_t heldHead_ = 0;
    std::size_t heldAnswer_ = 0;
    std::string answerAddress_;
    bool countAnswer_ = true;
    bool served_ = false;
};

}  // namespace td::relay_server
