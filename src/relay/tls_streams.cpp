#include "relay/tls_streams.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/log.hpp"

namespace td::relay {
namespace asio = boost::asio;
using boost::system::error_code;
using Local = asio::local::stream_protocol;

namespace {

// Plain bytes read from the server at a time: four TLS records, one frame.
constexpr std::size_t SERVER_READ_BYTES = 64 * 1024;
// A phone's handshake through the relay is done within this, or its stream is closed.
constexpr auto HANDSHAKE_TIMEOUT = std::chrono::seconds(10);

}  // namespace

struct TlsStreams::Impl : std::enable_shared_from_this<Impl> {
    struct Stream;

    explicit Impl(Links links) : links(std::move(links)), work(asio::make_work_guard(ioc)) {}

    void handle(const std::string& message);
    void open(std::uint32_t id, std::string_view address);
    void broken(const std::string& why) {
        closeAll();
        if (links.broken) {
            links.broken(why);
        }
    }
    void closeAll();
    void sendFrame(StreamFrameType type, std::uint32_t id, std::string_view payload = {}) {
        links.send(writeStreamFrame(type, id, payload));
    }

    const Links links;
    asio::io_context ioc{1};
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::thread thread;
    std::map<std::uint32_t, std::shared_ptr<Stream>> streams;  // on the thread only
    std::uint32_t lastOpened = 0;
    mutable std::mutex countMutex;
    std::size_t count = 0;
};

struct TlsStreams::Impl::Stream : std::enable_shared_from_this<Stream> {
    Stream(Impl& owner, std::uint32_t id, SSL* ssl, Local::socket plain)
        : owner(owner), id(id), ssl(ssl), plain(std::move(plain)), deadline(owner.ioc) {}

    // A phone that does not finish its handshake in time gives its place up: a computer carries
    // few streams, and holding them with half a hello would keep every other phone out.
    void startHandshakeDeadline() {
        deadline.expires_after(HANDSHAKE_TIMEOUT);
        deadline.async_wait([weak = weak_from_this()](const error_code& ec) {
            if (const auto self = weak.lock(); self && !ec && !SSL_is_init_finished(self->ssl)) {
                TD_LOG(relay, "a phone's TLS through the relay did not finish in time");
                self->end(true);
            }
        });
    }
    ~Stream() { SSL_free(ssl); }

    // Ciphertext from the phone.
    bool receive(std::string_view bytes) {
        if (bytes.size() > STREAM_WINDOW_BYTES - unacknowledged) {
            return false;
        }
        unacknowledged += bytes.size();
        BIO_write(SSL_get_rbio(ssl), bytes.data(), static_cast<int>(bytes.size()));
        decrypt();
        return true;
    }

    void decrypt() {
        char buffer[SERVER_READ_BYTES];
        while (!ended) {
            const int got = SSL_read(ssl, buffer, sizeof buffer);
            if (got > 0) {
                toServer.emplace_back(buffer, static_cast<std::size_t>(got));
                continue;
            }
            const int error = SSL_get_error(ssl, got);
            if (error == SSL_ERROR_WANT_READ) {
                break;
            }
            if (error != SSL_ERROR_ZERO_RETURN) {
                const char* reason = ERR_reason_error_string(ERR_peek_last_error());
                TD_LOG(relay, std::string("a phone's TLS through the relay failed: ") +
                                  (reason ? reason : "closed"));
            }
            ERR_clear_error();
            encrypted();  // an alert, or the close_notify, goes out first
            return end(true);
        }
        encrypted();
        writeToServer();
        acknowledge();
        readFromServer();
    }

    // Sends what OpenSSL wrote for the phone, as far as credit goes.
    void encrypted() {
        BIO* out = SSL_get_wbio(ssl);
        const int pending = BIO_pending(out);
        if (pending > 0) {
            std::string bytes(static_cast<std::size_t>(pending), '\0');
            BIO_read(out, bytes.data(), pending);
            toRelay += bytes;
        }
        while (!toRelay.empty() && credit > 0) {
            const std::size_t size = std::min({toRelay.size(), credit, MAX_STREAM_DATA_BYTES});
            owner.sendFrame(StreamFrameType::data, id, std::string_view(toRelay).substr(0, size));
            toRelay.erase(0, size);
            credit -= size;
        }
        if (toRelay.empty() && serverEnded && !ended) {
            end(true);
        }
    }

    void writeToServer() {
        if (writing || toServer.empty() || ended) {
            return;
        }
        writing = true;
        asio::async_write(plain, asio::buffer(toServer.front()),
                          [self = shared_from_this()](const error_code& ec, std::size_t) {
                              self->writing = false;
                              if (ec) {
                                  return self->end(true);
                              }
                              self->toServer.pop_front();
                              self->writeToServer();
                              self->acknowledge();
                          });
    }

    // What the server has taken is credit the relay may use again.
    void acknowledge() {
        if (toServer.empty() && unacknowledged > 0 && !ended) {
            owner.links.send(writeWindowFrame(id, static_cast<std::uint32_t>(unacknowledged)));
            unacknowledged = 0;
        }
    }

    // The server's answer is read only while what it wrote before has gone out.
    void readFromServer() {
        if (reading || ended || serverEnded || !toRelay.empty() || !SSL_is_init_finished(ssl)) {
            return;
        }
        reading = true;
        plain.async_read_some(asio::buffer(readBuffer), [self = shared_from_this()](
                                                            const error_code& ec, std::size_t n) {
            self->reading = false;
            if (self->ended) {
                return;
            }
            if (ec) {
                // The server answered and closed: the phone hears TLS's end, then the stream's.
                self->serverEnded = true;
                SSL_shutdown(self->ssl);
            } else {
                SSL_write(self->ssl, self->readBuffer.data(), static_cast<int>(n));
            }
            self->encrypted();
            self->readFromServer();
        });
    }

    bool grant(std::uint32_t more) {
        if (more > STREAM_WINDOW_BYTES - credit) {
            return false;
        }
        credit += more;
        encrypted();
        readFromServer();
        return true;
    }

    // `tellRelay`: the end is ours, and the relay hears of it.
    void end(bool tellRelay) {
        if (ended) {
            return;
        }
        ended = true;
        deadline.cancel();
        error_code ignored;
        plain.close(ignored);
        if (tellRelay) {
            owner.sendFrame(StreamFrameType::close, id);
        }
        owner.streams.erase(id);
        std::lock_guard lock(owner.countMutex);
        owner.count = owner.streams.size();
    }

    Impl& owner;
    const std::uint32_t id;
    SSL* const ssl;
    Local::socket plain;
    asio::steady_timer deadline;
    std::array<char, SERVER_READ_BYTES> readBuffer{};
    std::deque<std::string> toServer;
    std::string toRelay;
    std::size_t credit = STREAM_WINDOW_BYTES;  // bytes the relay may still be sent
    std::size_t unacknowledged = 0;            // bytes from the relay not yet granted back
    bool reading = false;
    bool writing = false;
    bool serverEnded = false;
    bool ended = false;
};

void TlsStreams::Impl::handle(const std::string& message) {
    const auto frame = readStreamFrame(message);
    if (!frame) {
        return broken("a stream frame that cannot be read");
    }
    if (frame->type == StreamFrameType::open) {
        if (frame->stream <= lastOpened) {
            return broken("a stream opened twice");
        }
        lastOpened = frame->stream;
        return open(frame->stream, frame->payload);
    }
    const auto found = streams.find(frame->stream);
    if (found == streams.end()) {
        if (frame->stream > lastOpened) {
            return broken("a frame for a stream never opened");
        }
        return;  // closed here while the relay's frames for it were on their way
    }
    const auto stream = found->second;
    bool kept = true;
    switch (frame->type) {
        case StreamFrameType::data:
            kept = stream->receive(frame->payload);
            break;
        case StreamFrameType::window:
            kept = stream->grant(frame->credit());
            break;
        case StreamFrameType::close:
            stream->end(false);
            break;
        case StreamFrameType::open:
            break;
    }
    if (!kept) {
        broken("a stream past its credit");
    }
}

void TlsStreams::Impl::open(std::uint32_t id, std::string_view address) {
    const auto context = links.tls ? links.tls() : nullptr;
    int pair[2];
    if (!context || streams.size() >= MAX_STREAMS_PER_AGENT ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        TD_LOG(relay, context ? "a phone's stream could not be served"
                              : "a phone's stream came before this computer has a certificate");
        return sendFrame(StreamFrameType::close, id);
    }
    SSL* ssl = SSL_new(context.get());
    if (!ssl) {
        ::close(pair[0]);
        ::close(pair[1]);
        return sendFrame(StreamFrameType::close, id);
    }
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl);
    Local::socket plain(ioc);
    error_code ec;
    plain.assign(Local(), pair[0], ec);
    auto stream = std::make_shared<Stream>(*this, id, ssl, std::move(plain));
    streams.emplace(id, stream);
    stream->startHandshakeDeadline();
    {
        std::lock_guard lock(countMutex);
        count = streams.size();
    }
    links.adopt(pair[1], std::string(address));
}

void TlsStreams::Impl::closeAll() {
    auto all = streams;
    for (auto& [id, stream] : all) {
        stream->end(false);
    }
}

TlsStreams::TlsStreams(Links links) : impl_(std::make_shared<Impl>(std::move(links))) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
}

TlsStreams::~TlsStreams() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        impl->closeAll();
        impl->work.reset();
    });
    impl_->thread.join();
}

void TlsStreams::onMessage(std::string message) {
    asio::post(impl_->ioc,
               [impl = impl_.get(), message = std::move(message)] { impl->handle(message); });
}

std::size_t TlsStreams::openCount() const {
    std::lock_guard lock(impl_->countMutex);
    return impl_->count;
}

}  // namespace td::relay
