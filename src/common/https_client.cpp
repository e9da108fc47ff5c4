// Beast and Asio's TLS are compiled here and nowhere else: they are slow to compile.
#include "common/https_client.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>
#include <optional>
#include <thread>

namespace td {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Answers larger than this are not something the agent asks for (manifests, plans).
constexpr std::uint64_t MAX_BODY_BYTES = 8 * 1024 * 1024;

struct Target {
    bool tls = true;
    std::string host;
    std::string port;
    std::string path;
};

std::optional<Target> parseTarget(const HttpRequest& request, std::string& error) {
    auto url = boost::urls::parse_uri(request.url);
    if (!url || !url->has_authority() || url->host().empty()) {
        error = "not an absolute URL";
        return std::nullopt;
    }
    Target target;
    if (url->scheme() == "https") {
        target.tls = true;
    } else if (url->scheme() == "http" && request.allowPlainHttp) {
        target.tls = false;
    } else {
        error = "only https is allowed";
        return std::nullopt;
    }
    target.host = url->host();
    if (url->host_type() == boost::urls::host_type::ipv6) {
        target.host = std::string(url->encoded_host_address());
    }
    target.port = url->has_port() ? std::string(url->port()) : (target.tls ? "443" : "80");
    target.path = url->encoded_path().empty() ? "/" : std::string(url->encoded_path());
    if (url->has_query()) {
        target.path += "?" + std::string(url->encoded_query());
    }
    return target;
}

bool isIpLiteral(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

// One request: resolve, connect, (handshake,) write, read, each step on the session's strand;
// a timer bounds the whole. `finish` calls the completion once and stops everything.
template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
  public:
    Session(asio::any_io_executor executor, Stream stream, Target target, HttpRequest request,
            std::function<void(HttpResponse)> done)
        : resolver_(executor),
          timer_(executor),
          stream_(std::move(stream)),
          target_(std::move(target)),
          done_(std::move(done)) {
        request_.method_string(request.method);
        request_.target(target_.path);
        request_.version(11);
        request_.set(http::field::host, target_.host);
        request_.set(http::field::connection, "close");
        for (const auto& [name, value] : request.headers) {
            request_.set(name, value);
        }
        request_.body() = std::move(request.body);
        request_.prepare_payload();
        timeout_ = request.timeout;
        parser_.body_limit(MAX_BODY_BYTES);
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
    void onResolve(const error_code& ec, tcp::resolver::results_type found) {
        if (ec) {
            return fail("cannot resolve " + target_.host + ": " + ec.message());
        }
        auto self = this->shared_from_this();
        beast::get_lowest_layer(stream_).async_connect(
            found, [self](const error_code& connectEc, const tcp::endpoint&) {
                self->onConnect(connectEc);
            });
    }

    void onConnect(const error_code& ec) {
        if (ec) {
            return fail("cannot connect: " + ec.message());
        }
        if constexpr (std::is_same_v<Stream, beast::ssl_stream<beast::tcp_stream>>) {
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
        http::async_write(stream_, request_, [self](const error_code& ec, std::size_t) {
            if (ec) {
                return self->fail("cannot send: " + ec.message());
            }
            http::async_read(
                self->stream_, self->buffer_, self->parser_,
                [self](const error_code& readEc, std::size_t) { self->onRead(readEc); });
        });
    }

    void onRead(const error_code& ec) {
        if (ec) {
            return fail("no answer: " + ec.message());
        }
        HttpResponse response;
        response.delivered = true;
        response.status = static_cast<int>(parser_.get().result_int());
        response.body = std::move(parser_.get().body());
        finish(std::move(response));
    }

    void fail(std::string why) {
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
        beast::get_lowest_layer(stream_).socket().close(ignored);
        auto done = std::move(done_);
        done(std::move(response));
    }

    tcp::resolver resolver_;
    asio::steady_timer timer_;
    Stream stream_;
    Target target_;
    http::request<http::string_body> request_;
    http::response_parser<http::string_body> parser_;
    beast::flat_buffer buffer_;
    std::chrono::milliseconds timeout_{};
    std::function<void(HttpResponse)> done_;
    bool finished_ = false;
};

}  // namespace

struct HttpsClient::Impl {
    Impl() : tls(ssl::context::tls_client) {
        tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        tls.set_verify_mode(ssl::verify_peer);
        error_code ignored;
        tls.set_default_verify_paths(ignored);
        thread = std::thread([this] { ioc.run(); });
    }
    ~Impl() {
        work.reset();
        ioc.stop();
        thread.join();
    }

    asio::io_context ioc;
    ssl::context tls;
    asio::executor_work_guard<asio::io_context::executor_type> work{ioc.get_executor()};
    std::thread thread;
};

HttpsClient::HttpsClient() : impl_(std::make_unique<Impl>()) {}

HttpsClient::~HttpsClient() = default;

void HttpsClient::send(HttpRequest request, std::function<void(HttpResponse)> done) {
    std::string error;
    auto target = parseTarget(request, error);
    auto strand = asio::make_strand(impl_->ioc);
    if (!target) {
        // Still delivered on the client's thread, after `send` returns, like every answer.
        asio::post(strand, [done = std::move(done), error] {
            HttpResponse response;
            response.error = error;
            done(std::move(response));
        });
        return;
    }
    if (!target->tls) {
        auto session = std::make_shared<Session<beast::tcp_stream>>(
            strand, beast::tcp_stream(strand), std::move(*target), std::move(request),
            std::move(done));
        asio::post(strand, [session] { session->start(); });
        return;
    }
    beast::ssl_stream<beast::tcp_stream> stream(strand, impl_->tls);
    SSL* native = stream.native_handle();
    if (isIpLiteral(target->host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(native), target->host.c_str());
    } else {
        SSL_set_tlsext_host_name(native, target->host.c_str());  // SNI: never for IP literals
        SSL_set1_host(native, target->host.c_str());
    }
    auto session = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
        strand, std::move(stream), std::move(*target), std::move(request), std::move(done));
    asio::post(strand, [session] { session->start(); });
}

}  // namespace td
