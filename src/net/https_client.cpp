#include "net/https_client.hpp"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/url/parse.hpp>
#include <cctype>
#include <mutex>
#include <optional>
#include <thread>

#include "common/log.hpp"
#include "net/session_start.hpp"
#include "net/tls_client.hpp"

namespace td::net {
namespace asio = boost::asio;
namespace ssl = asio::ssl;

namespace {

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

}  // namespace

struct HttpsClient::Impl {
    explicit Impl(TlsTrust trustedBy) : trust(std::move(trustedBy)) {
        thread = std::thread([this] { ioc.run(); });
    }
    ~Impl() { stop(); }

    void stop() {
        std::call_once(stopped, [this] {
            work.reset();
            ioc.stop();
            thread.join();
        });
    }

    // Touched only on the client's thread: the trust store is read there, at the first https
    // request, so that it costs nothing at start.
    ssl::context& tls() {
        if (!context) {
            context.emplace(makeVerifyingContext(trust));
        }
        return *context;
    }

    void start(const SessionStrand& strand, Target target, HttpRequest request,
               std::function<void(HttpResponse)> done) {
        if (target.tls) {
            startTlsSession(strand, tls(), std::move(target), std::move(request), std::move(done));
        } else {
            startPlainSession(strand, std::move(target), std::move(request), std::move(done));
        }
    }

    const TlsTrust trust;
    std::optional<ssl::context> context;
    asio::io_context ioc;
    asio::executor_work_guard<asio::io_context::executor_type> work{ioc.get_executor()};
    std::thread thread;
    std::once_flag stopped;
};

HttpsClient::HttpsClient(TlsTrust trust) : impl_(std::make_unique<Impl>(std::move(trust))) {}

HttpsClient::~HttpsClient() = default;

void HttpsClient::stop() {
    impl_->stop();
}

void HttpsClient::send(HttpRequest request, std::function<void(HttpResponse)> done) {
    std::string error;
    auto target = parseTarget(request, error);
    auto strand = asio::make_strand(impl_->ioc);
    // Every answer, a refusal too, is delivered on the client's thread after `send` returns.
    asio::post(strand, [impl = impl_.get(), strand, target = std::move(target),
                        request = std::move(request), done = std::move(done),
                        error = std::move(error)]() mutable {
        if (!target) {
            TD_LOG(https, "refused a request: " + error);
            HttpResponse response;
            response.error = error;
            done(std::move(response));
            return;
        }
        impl->start(strand, std::move(*target), std::move(request), std::move(done));
    });
}

std::shared_ptr<WebSocket> HttpsClient::openWebSocket(const std::string& url,
                                                      WebSocketHandlers handlers) {
    std::string error;
    std::optional<Target> target;
    if (url.starts_with("wss://")) {
        HttpRequest asHttps;
        asHttps.url = "https://" + url.substr(6);
        target = parseTarget(asHttps, error);
    } else {
        error = "only wss is allowed";
    }
    auto strand = asio::make_strand(impl_->ioc);
    if (!target) {
        TD_LOG(https, "refused a WebSocket: " + error);
        struct Refused final : WebSocket {
            void sendText(std::string) override {}
            void sendBinary(std::string) override {}
            void close() override {}
            std::string host() const override { return {}; }
        };
        asio::post(strand, [onEnd = std::move(handlers.onEnd), error] {
            if (onEnd) {
                onEnd(error);
            }
        });
        return std::make_shared<Refused>();
    }
    // The TLS context is made on the client's thread, when the socket starts there.
    return startWebSocket(
        strand, [impl = impl_.get()]() -> ssl::context& { return impl->tls(); }, std::move(*target),
        std::move(handlers));
}

std::string HttpResponse::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (field.size() == name.size() &&
            std::equal(field.begin(), field.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return value;
        }
    }
    return {};
}

}  // namespace td::net
