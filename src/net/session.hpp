#pragma once
// The one exchange of the HTTPS client, over a plain or a TLS stream; included only by the two
// files that instantiate it.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

#include "common/log.hpp"
#include "net/session_start.hpp"

namespace td::net {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using boost::system::error_code;

inline constexpr std::size_t READ_CHUNK = 16 * 1024;

using TlsStream = ssl::stream<tcp::socket>;

// One request: resolve, connect, (handshake,) write, read, each step on the session's strand;
// a timer bounds the whole. `finish` calls the completion once and stops everything. Beast
// only writes the request and parses the answer; the reads and writes are Asio's own, which
// keeps these two files quick to compile.
template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  public:
    Session(asio::any_io_executor executor, Stream stream, Target target, HttpRequest request,
            std::function<void(HttpResponse)> done)
        : resolver_(executor),
          timer_(executor),
          stream_(std::move(stream)),
          target_(std::move(target)),
          timeout_(request.timeout),
          done_(std::move(done)) {
        http::request<http::string_body> message;
        message.method_string(request.method);
        message.target(target_.path);
        message.version(11);
        message.set(http::field::host, target_.hostField());
        message.set(http::field::connection, "close");
        for (const auto& [name, value] : request.headers) {
            message.set(name, value);
        }
        message.body() = std::move(request.body);
        message.prepare_payload();
        std::ostringstream text;
        text << message;
        requestText_ = std::move(text).str();
        parser_.body_limit(request.maxAnswerBytes);
        parser_.eager(true);
    }

    void start() {
        auto self = this->shared_from_this();
        timer_.expires_after(timeout_);
        timer_.async_wait([self](const error_code& ec) {
            if (!ec) {
                self->fail("timed out");
            }
        });
        resolver_.async_resolve(target_.host, target_.port,
                                [self](const error_code& ec, tcp::resolver::results_type found) {
                                    self->onResolve(ec, std::move(found));
                                });
    }

  private:
    static constexpr bool TLS = std::is_same_v<Stream, TlsStream>;

    tcp::socket& socket() {
        if constexpr (TLS) {
            return stream_.next_layer();
        } else {
            return stream_;
        }
    }

    void onResolve(const error_code& ec, const tcp::resolver::results_type& found) {
        if (ec) {
            return fail("cannot resolve " + target_.host + ": " + ec.message());
        }
        auto self = this->shared_from_this();
        asio::async_connect(socket(), found,
                            [self](const error_code& connectEc, const tcp::endpoint&) {
                                self->onConnect(connectEc);
                            });
    }

    void onConnect(const error_code& ec) {
        if (ec) {
            return fail("cannot connect: " + ec.message());
        }
        if constexpr (TLS) {
            auto self = this->shared_from_this();
            stream_.async_handshake(ssl::stream_base::client, [self](const error_code& hsEc) {
                if (hsEc) {
                    return self->fail("TLS handshake failed: " + hsEc.message());
                }
                self->write();
            });
        } else {
            write();
        }
    }

    void write() {
        auto self = this->shared_from_this();
        asio::async_write(stream_, asio::buffer(requestText_),
                          [self](const error_code& ec, std::size_t) {
                              if (ec) {
                                  return self->fail("cannot send: " + ec.message());
                              }
                              self->read();
                          });
    }

    void read() {
        auto self = this->shared_from_this();
        stream_.async_read_some(
            buffer_.prepare(READ_CHUNK),
            [self](const error_code& ec, std::size_t n) { self->onRead(ec, n); });
    }

    void onRead(const error_code& ec, std::size_t bytesRead) {
        if (ec == asio::error::eof || ec == ssl::error::stream_truncated) {
            if (parser_.got_some()) {
                error_code ended;
                parser_.put_eof(ended);  // an answer may end with the connection
            }
            return parser_.is_done() ? deliver() : fail("the connection ended before an answer");
        }
        if (ec) {
            return fail("no answer: " + ec.message());
        }
        buffer_.commit(bytesRead);
        while (buffer_.size() > 0 && !parser_.is_done()) {
            error_code parseEc;
            const std::size_t used = parser_.put(buffer_.data(), parseEc);
            buffer_.consume(used);
            if (parseEc == http::error::need_more) {
                break;
            }
            if (parseEc) {
                return fail("unreadable answer: " + parseEc.message());
            }
        }
        if (parser_.is_done()) {
            return deliver();
        }
        read();
    }

    void deliver() {
        HttpResponse response;
        response.delivered = true;
        auto& answer = parser_.get();
        response.status = static_cast<int>(answer.result_int());
        response.contentType = std::string(answer[http::field::content_type]);
        for (const auto& field : answer) {
            response.headers.emplace_back(std::string(field.name_string()),
                                          std::string(field.value()));
        }
        response.body = std::move(answer.body());
        finish(std::move(response));
    }

    void fail(std::string why) {
        TD_LOG(https, target_.host + ": " + why);
        HttpResponse response;
        response.error = std::move(why);
        finish(std::move(response));
    }

    void finish(HttpResponse response) {
        if (finished_) {
            return;
        }
        finished_ = true;
        timer_.cancel();
        resolver_.cancel();
        error_code ignored;
        socket().close(ignored);
        auto done = std::move(done_);
        done(std::move(response));
    }

    tcp::resolver resolver_;
    asio::steady_timer timer_;
    Stream stream_;
    Target target_;
    std::chrono::milliseconds timeout_;
    std::function<void(HttpResponse)> done_;
    std::string requestText_;
    http::response_parser<http::string_body> parser_;
    beast::flat_buffer buffer_;
    bool finished_ = false;
};

}  // namespace td::net
