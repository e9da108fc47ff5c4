#include <boost/beast/http/empty_body.hpp>

#include "relay_server/sessions.hpp"

namespace td::relay_server {

void servePlain(tcp::socket socket, Hub& hub) {
    std::string peer = peerOf(socket);
    std::make_shared<PhoneSession<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), hub,
                                                      std::move(peer))
        ->start();
}

namespace {

// A metrics request must arrive whole within this.
constexpr auto METRICS_REQUEST_TIMEOUT = std::chrono::seconds(10);

// One request on the metrics listener, then the connection closes.
class MetricsSession final : public std::enable_shared_from_this<MetricsSession> {
  public:
    MetricsSession(tcp::socket socket, Hub& hub)
        : stream_(std::move(socket)), hub_(hub), ticket_(hub.connections) {}

    void start() {
        stream_.expires_after(METRICS_REQUEST_TIMEOUT);
        parser_.header_limit(8 * 1024);
        http::async_read(stream_, buffer_, parser_,
                         [self = shared_from_this()](const error_code& ec, std::size_t) {
                             guarded([&] { self->onRequest(ec); }, [&] { self->close(); });
                         });
    }

  private:
    void onRequest(const error_code& ec) {
        if (ec) {
            return close();
        }
        const auto& request = parser_.get();
        const std::string_view target = request.target();
        const std::string_view path = target.substr(0, target.find('?'));
        response_.version(11);
        response_.keep_alive(false);
        if (request.method() == http::verb::get && path == "/metrics") {
            response_.result(http::status::ok);
            response_.set(http::field::content_type, "text/plain; version=0.0.4");
            response_.body() = hub_.metrics.text(hub_.agentCount());
        } else if (request.method() == http::verb::get && path == "/healthz") {
            response_.result(http::status::ok);
            response_.set(http::field::content_type, "text/plain");
            response_.body() = "ok";
        } else {
            response_.result(http::status::not_found);
            response_.set(http::field::content_type, "text/plain");
            response_.body() = "Not Found";
        }
        response_.prepare_payload();
        http::async_write(
            stream_, response_,
            [self = shared_from_this()](const error_code&, std::size_t) { self->close(); });
    }

    void close() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    Hub& hub_;
    ConnectionTicket ticket_;  // counted like any connection: descriptors are shared
    beast::flat_buffer buffer_;
    http::request_parser<http::empty_body> parser_;
    http::response<http::string_body> response_;
};

}  // namespace

void serveMetrics(tcp::socket socket, Hub& hub) {
    std::make_shared<MetricsSession>(std::move(socket), hub)->start();
}

}  // namespace td::relay_server
