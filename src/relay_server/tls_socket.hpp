#pragma once
// A server-side TLS stream that lets OpenSSL read and write the socket itself.
//
// Asio's TLS stream keeps two 17 KiB record buffers per connection, zero-filled and so resident,
// and a BIO pair of the same size again: about 70 KiB for every idle agent, most of a relay's
// memory. Here OpenSSL works on the non-blocking descriptor, and with SSL_MODE_RELEASE_BUFFERS an
// idle connection holds no record buffer at all. Included only by the file that instantiates the
// relay's TLS sessions.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/append.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/role.hpp>
#include <chrono>
#include <memory>
#include <string>

namespace td::relay_server {

// Movable like a socket: everything that operations refer to lives in one shared core, so a
// session can hand the stream to another (an HTTP connection becoming an agent's WebSocket).
class TlsSocket {
  public:
    using executor_type = boost::asio::ip::tcp::socket::executor_type;
    using error_code = boost::system::error_code;

    TlsSocket(boost::asio::ip::tcp::socket socket, SSL_CTX* context)
        : core_(std::make_shared<Core>(std::move(socket), context)) {}

    executor_type get_executor() { return core_->socket.get_executor(); }
    boost::asio::ip::tcp::socket& socket() { return core_->socket; }

    // The connection is closed when it passes: pending operations end with an error.
    void expires_after(std::chrono::steady_clock::duration timeout) {
        core_->timer.expires_after(timeout);
        core_->timer.async_wait([weak = std::weak_ptr(core_)](const error_code& ec) {
            if (auto core = weak.lock(); core && !ec) {
                error_code ignored;
                core->socket.close(ignored);
            }
        });
    }
    void expires_never() { core_->timer.cancel(); }

    template <typename Token>
    auto async_handshake(Token&& token) {
        return boost::asio::async_compose<Token, void(error_code)>(
            Step<HandshakeAttempt>{core_, {}}, token, core_->socket);
    }

    template <typename MutableBuffers, typename Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(error_code, std::size_t)>(
            Step<ReadAttempt<MutableBuffers>>{core_, {buffers}}, token, core_->socket);
    }

    template <typename ConstBuffers, typename Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_compose<Token, void(error_code, std::size_t)>(
            Step<WriteAttempt>{core_, {coalesce(buffers)}}, token, core_->socket);
    }

    // Sends close_notify if the socket takes it now, then ends the connection both ways.
    void shutDown() {
        finishSending();
        error_code ignored;
        core_->socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    }

    // Sends close_notify if the socket takes it now, then ends our side only: the peer learns
    // the answer is whole, and what it still sends can be read and dropped.
    void finishSending() {
        if (!core_->socket.is_open() || !core_->ssl) {
            return;
        }
        ERR_clear_error();
        SSL_shutdown(core_->ssl.get());
        error_code ignored;
        core_->socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    }

  private:
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    struct Core {
        Core(boost::asio::ip::tcp::socket s, SSL_CTX* context)
            : socket(std::move(s)), timer(socket.get_executor()), ssl(SSL_new(context)) {
            error_code ignored;
            socket.non_blocking(true, ignored);
            if (ssl) {
                SSL_set_fd(ssl.get(), static_cast<int>(socket.native_handle()));
                SSL_set_accept_state(ssl.get());
                SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE |
                                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                            SSL_MODE_RELEASE_BUFFERS);
            }
        }
        boost::asio::ip::tcp::socket socket;
        boost::asio::steady_timer timer;
        std::unique_ptr<SSL, SslFree> ssl;
    };

    // One record's worth of the buffers in one piece: a WebSocket frame's header and payload,
    // or an answer's head and body, then go out as one record rather than several.
    static constexpr std::size_t MAX_RECORD = 16 * 1024;
    template <typename ConstBuffers>
    static std::string coalesce(const ConstBuffers& buffers) {
        std::string bytes(std::min(boost::asio::buffer_size(buffers), MAX_RECORD), '\0');
        boost::asio::buffer_copy(boost::asio::buffer(bytes), buffers);
        return bytes;
    }

    // What one OpenSSL call came to: done (with a count), or wait for the socket, or failed.
    enum class Outcome { done, wantRead, wantWrite, closed, failed };
    static Outcome outcomeOf(SSL* ssl, int result) {
        if (result == 1) {
            return Outcome::done;
        }
        switch (SSL_get_error(ssl, result)) {
            case SSL_ERROR_WANT_READ:
                return Outcome::wantRead;
            case SSL_ERROR_WANT_WRITE:
                return Outcome::wantWrite;
            case SSL_ERROR_ZERO_RETURN:
                return Outcome::closed;
            default:
                return Outcome::failed;
        }
    }

    struct HandshakeAttempt {
        int operator()(SSL* ssl, std::size_t&) { return SSL_do_handshake(ssl); }
        static constexpr bool counts = false;
    };
    template <typename MutableBuffers>
    struct ReadAttempt {
        MutableBuffers buffers;
        int operator()(SSL* ssl, std::size_t& n) {
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 it != boost::asio::buffer_sequence_end(buffers); ++it) {
                boost::asio::mutable_buffer buffer(*it);
                if (buffer.size() > 0) {
                    return SSL_read_ex(ssl, buffer.data(), buffer.size(), &n);
                }
            }
            return 1;  // nothing asked for
        }
        static constexpr bool counts = true;
    };
    struct WriteAttempt {
        std::string bytes;  // kept until written: OpenSSL wants the same bytes again on a retry
        int operator()(SSL* ssl, std::size_t& n) {
            return bytes.empty() ? 1 : SSL_write_ex(ssl, bytes.data(), bytes.size(), &n);
        }
        static constexpr bool counts = true;
    };

    // Tries the call; waits for the socket while OpenSSL wants it; the first try is posted so
    // that the handler never runs inside the call that started the operation.
    template <typename Attempt>
    struct Step {
        std::shared_ptr<Core> core;
        Attempt attempt;
        bool started = false;

        template <typename Self>
        void operator()(Self& self, error_code ec = {}) {
            if (!started) {
                started = true;
                return boost::asio::post(core->socket.get_executor(), std::move(self));
            }
            if (ec) {
                return finish(self, ec, 0);
            }
            // OpenSSL holds the descriptor's number, not the socket: once the socket is closed
            // (a deadline passed while this step waited) that number may be a newer
            // connection's, and no call may touch it.
            if (!core->socket.is_open()) {
                return finish(self, boost::asio::error::bad_descriptor, 0);
            }
            std::size_t n = 0;
            ERR_clear_error();
            const int result = core->ssl ? attempt(core->ssl.get(), n) : 0;
            switch (core->ssl ? outcomeOf(core->ssl.get(), result) : Outcome::failed) {
                case Outcome::done:
                    return finish(self, {}, n);
                case Outcome::wantRead:
                    return core->socket.async_wait(boost::asio::ip::tcp::socket::wait_read,
                                                   std::move(self));
                case Outcome::wantWrite:
                    return core->socket.async_wait(boost::asio::ip::tcp::socket::wait_write,
                                                   std::move(self));
                case Outcome::closed:
                    return finish(self, boost::asio::error::eof, 0);
                case Outcome::failed:
                    // A peer that vanished mid-record, or one that speaks no TLS: either way
                    // the stream is over.
                    return finish(self, boost::asio::error::connection_reset, 0);
            }
        }

        template <typename Self>
        static void finish(Self& self, error_code ec, std::size_t n) {
            if constexpr (Attempt::counts) {
                self.complete(ec, n);
            } else {
                self.complete(ec);
            }
        }
    };

    std::shared_ptr<Core> core_;
};

// Beast finds these by argument-dependent lookup: the first when a WebSocket times out, the
// others when it closes.
inline void beast_close_socket(TlsSocket& socket) {
    boost::system::error_code ignored;
    socket.socket().close(ignored);
}

inline void teardown(boost::beast::role_type, TlsSocket& socket, boost::system::error_code& ec) {
    socket.shutDown();
    ec = {};
}

template <typename TeardownHandler>
void async_teardown(boost::beast::role_type, TlsSocket& socket, TeardownHandler&& handler) {
    socket.shutDown();
    boost::asio::post(
        socket.get_executor(),
        boost::asio::append(std::forward<TeardownHandler>(handler), boost::system::error_code{}));
}

}  // namespace td::relay_server
