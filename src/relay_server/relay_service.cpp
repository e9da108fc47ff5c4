#include "relay_server/relay_service.hpp"

#include <openssl/ssl.h>
#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "relay_server/proxy_header.hpp"
#include "relay_server/session_start.hpp"

namespace td::relay_server {
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// When accepting fails (out of descriptors, say), wait this long before the next try instead of
// spinning on the error.
constexpr auto ACCEPT_RETRY_DELAY = std::chrono::milliseconds(100);
// Descriptors the process needs besides its connections: standard streams, listeners, the
// event loop's own, a few to spare.
constexpr std::size_t OTHER_DESCRIPTORS = 32;

// Connections held at once: what the options say, never more than the descriptors allow.
std::size_t connectionLimit(const RelayOptions& options) {
    rlimit limit{};
    std::size_t available = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        available = static_cast<std::size_t>(limit.rlim_cur);
    }
    available =
        available > 2 * OTHER_DESCRIPTORS ? available - OTHER_DESCRIPTORS : OTHER_DESCRIPTORS;
    return options.maxConnections != 0 ? std::min(options.maxConnections, available) : available;
}

// The address as the relay prints addresses (::ffff:1.2.3.4 stays as it is), or an error.
std::vector<std::string> proxyAddresses(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& text : texts) {
        error_code ec;
        const auto address = asio::ip::make_address(text, ec);
        if (ec) {
            throw std::runtime_error("--trusted-proxy takes an IP address: " + text);
        }
        out.push_back(canonicalAddress(address.to_string()));
    }
    return out;
}

RelayOptions normalised(RelayOptions options) {
    options.trustedProxies = proxyAddresses(options.trustedProxies);
    if (options.passthrough && (options.phoneDomain.empty() || options.certFile.empty())) {
        // It must see phones' TLS itself, and route it by their computers' names.
        throw std::runtime_error("--passthrough needs --phone-domain, --cert and --key");
    }
    return options;
}

void listenOn(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, const std::string& what) {
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        throw std::runtime_error("cannot listen on " + what + ": " + ec.message());
    }
}

std::optional<ssl::context> serverTls(const RelayOptions& options) {
    if (options.certFile.empty() && options.keyFile.empty()) {
        return std::nullopt;
    }
    if (options.certFile.empty() || options.keyFile.empty()) {
        throw std::runtime_error("--cert and --key go together");
    }
    ssl::context context(ssl::context::tls_server);
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                        ssl::context::single_dh_use);
    error_code ec;
    context.use_certificate_chain_file(options.certFile, ec);
    if (!ec) {
        context.use_private_key_file(options.keyFile, ssl::context::pem, ec);
    }
    if (ec) {
        throw std::runtime_error("cannot read the certificate or key: " + ec.message());
    }
    // Agents and phones open new connections rather than resume old ones: a session kept for
    // each connection would be memory every agent costs and no one uses.
    SSL_CTX_set_session_cache_mode(context.native_handle(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context.native_handle(), 0);
    return context;
}

tcp::endpoint endpointFor(const std::string& text, std::uint16_t port) {
    error_code ec;
    const auto address = asio::ip::make_address(text, ec);
    if (ec) {
        throw std::runtime_error("not an IP address: " + text);
    }
    return {address, port};
}

}  // namespace

struct RelayService::Impl {
    explicit Impl(RelayOptions options)
        : hub(normalised(options), connectionLimit(options)),
          tls(serverTls(hub.options())),
          acceptor(ioc),
          metricsAcceptor(ioc),
          retry(ioc),
          metricsRetry(ioc) {
        const RelayOptions& o = hub.options();
        listenOn(acceptor, endpointFor(o.address, o.port),
                 o.address + ":" + std::to_string(o.port));
        port = acceptor.local_endpoint().port();
        if (o.metricsPort) {
            listenOn(metricsAcceptor, endpointFor(o.metricsAddress, *o.metricsPort),
                     o.metricsAddress + ":" + std::to_string(*o.metricsPort));
            metricsPort = metricsAcceptor.local_endpoint().port();
            acceptMetrics();
        }
        accept();
        thread = std::thread([this] {
            // OpenSSL writes to sockets itself: a write to a peer that went away must fail with
            // EPIPE on this thread, not raise a signal that ends the process.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            ioc.run();
        });
    }

    void accept() {
        acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                retry.expires_after(ACCEPT_RETRY_DELAY);
                retry.async_wait([this](const error_code& waitEc) {
                    if (!waitEc) {
                        accept();
                    }
                });
                return;
            }
            // Requests, replies and carried TLS records are small and answered at once: none
            // may wait for the peer's delayed ACK.
            error_code noDelayError;
            socket.set_option(tcp::no_delay(true), noDelayError);
            if (!hub.connections.admit()) {
                error_code ignored;
                socket.close(ignored);  // no room even after the longest-idle one went
            } else if (tls && hub.options().passthrough) {
                routeByServerName(std::move(socket), *tls, hub);
            } else if (tls) {
                serveTls(std::move(socket), *tls, hub);
            } else {
                servePlain(std::move(socket), hub);
            }
            accept();
        });
    }

    void acceptMetrics() {
        metricsAcceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                metricsRetry.expires_after(ACCEPT_RETRY_DELAY);
                metricsRetry.async_wait([this](const error_code& waitEc) {
                    if (!waitEc) {
                        acceptMetrics();
                    }
                });
                return;
            }
            if (hub.connections.admit()) {
                serveMetrics(std::move(socket), hub);
            }
            acceptMetrics();
        });
    }

    void stop() {
        std::call_once(stopped, [this] {
            asio::post(ioc, [this] {
                error_code ignored;
                acceptor.close(ignored);
                metricsAcceptor.close(ignored);
                retry.cancel();
                metricsRetry.cancel();
                hub.closeAll();
            });
            // Closing handshakes get a moment; then everything ends with the loop.
            asio::steady_timer grace(ioc, std::chrono::milliseconds(200));
            grace.async_wait([this](const error_code&) { ioc.stop(); });
            thread.join();
        });
    }

    // Before the loop: the loop's destruction ends the sessions it still holds, which give
    // their places back to the hub.
    Hub hub;
    asio::io_context ioc{1};
    std::optional<ssl::context> tls;
    tcp::acceptor acceptor;
    tcp::acceptor metricsAcceptor;
    asio::steady_timer retry;
    asio::steady_timer metricsRetry;
    std::uint16_t port = 0;
    std::optional<std::uint16_t> metricsPort;
    std::thread thread;
    std::once_flag stopped;
};

RelayService::RelayService(RelayOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

RelayService::~RelayService() {
    stop();
}

void RelayService::stop() {
    impl_->stop();
}

std::uint16_t RelayService::port() const {
    return impl_->port;
}

std::optional<std::uint16_t> RelayService::metricsPort() const {
    return impl_->metricsPort;
}

bool RelayService::usesTls() const {
    return impl_->tls.has_value();
}

std::size_t RelayService::agentCount() const {
    return impl_->hub.agentCount();
}

}  // namespace td::relay_server
