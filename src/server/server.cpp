#include "server/server.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "server/tcp_connection.hpp"
#include "server/work_pool.hpp"

namespace td::server {
namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Asio opens descriptors without close-on-exec; a tool started meanwhile would keep the port or
// a client's connection open after the agent is gone.
template <typename Socket>
void closeOnExec(Socket& socket) {
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
}

// Descriptors kept back from connections: the Store's files, tools' pipes, D-Bus, the TLS
// client.
constexpr std::size_t DESCRIPTOR_RESERVE = 64;

// The connection cap, lowered so that connections alone can never use up the descriptors.
std::size_t connectionCapFor(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return wanted;
    }
    const auto available = static_cast<std::size_t>(limit.rlim_cur);
    return std::min(wanted, available > 2 * DESCRIPTOR_RESERVE ? available - DESCRIPTOR_RESERVE
                                                               : available / 2);
}

// A dual-stack listener, so IPv4 peers arrive as ::ffff:a.b.c.d; plain IPv4 where the machine
// has no IPv6.
std::optional<tcp::acceptor> openListener(const asio::any_io_executor& executor,
                                          std::uint16_t port) {
    for (const tcp protocol : {tcp::v6(), tcp::v4()}) {
        tcp::acceptor acceptor(executor);
        error_code ec;
        acceptor.open(protocol, ec);
        if (!ec) {
            closeOnExec(acceptor);
        }
        if (!ec && protocol == tcp::v6()) {
            acceptor.set_option(asio::ip::v6_only(false), ec);
        }
        if (!ec) {
            acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor.bind(tcp::endpoint(protocol, port), ec);
        }
        if (!ec) {
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        if (!ec) {
            return acceptor;
        }
        if (ec == asio::error::address_in_use) {
            return std::nullopt;  // the port is taken on every family; retry later
        }
    }
    return std::nullopt;
}

bool isTransientAcceptError(const error_code& ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
           ec == asio::error::no_memory || ec == asio::error::connection_aborted ||
           ec == asio::error::connection_reset || ec.value() == ENFILE;
}

const std::shared_ptr<const std::string>& streamHead() {
    static const auto bytes = std::make_shared<const std::string>(SSE_HEAD);
    return bytes;
}

const std::shared_ptr<const std::string>& streamGreeting() {
    static const auto bytes = std::make_shared<const std::string>(sseChunk(SSE_GREETING));
    return bytes;
}

}  // namespace

struct Server::Impl {
    Impl(Server& server, ServerOptions opts)
        : env(std::make_shared<ConnectionEnv>()),
          owner(server),
          options(std::move(opts)),
          pool(options.maxWorkThreads),
          bindStrand(asio::make_strand(env->ioc)),
          bindTimer(bindStrand),
          sseTimer(env->ioc) {
        env->limits = options.limits;
        env->maxConnections = connectionCapFor(options.limits.maxConnections);
        env->bodyLimit = options.bodyLimit;
        env->deliver = [this](const ConnectionPtr& connection, Request request) {
            if (router) {
                router(connection, std::move(request));
            } else {
                connection->json({{"ok", false}}, 404);
            }
        };
    }

    void bindWithRetry(int attempt);
    void scheduleBind(int attempt);
    void doAccept(int attempt);
    void onAccept(int attempt, const error_code& ec, tcp::socket socket);
    void scheduleKeepAlive(asio::steady_timer::time_point at);
    void closeEveryConnection();

    // First, so that it goes last: the io_context in it must outlive every socket and timer
    // below, and connections share it.
    const std::shared_ptr<ConnectionEnv> env;
    Server& owner;
    const ServerOptions options;
    Router router;
    WorkPool pool;
    std::atomic<std::uint16_t> boundPort{0};
    std::atomic<bool> running{false};

    struct EventStream {
        ConnectionPtr connection;
        std::string peer;
        std::function<bool()> paired;
    };
    // Guards `sseConns` and `sseOpening` only; no write happens while it is held.
    mutable std::mutex sseLock;
    std::vector<EventStream> sseConns;
    std::vector<std::string> sseOpening;  // the peers of streams admitted and not yet listed

    asio::strand<asio::io_context::executor_type> bindStrand;
    std::optional<tcp::acceptor> listener;  // these three are touched only on bindStrand
    std::optional<tcp::socket> accepting;
    tcp::endpoint acceptedPeer;
    asio::steady_timer bindTimer;
    asio::steady_timer sseTimer;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::thread> networkThreads;
};

void Server::Impl::bindWithRetry(int attempt) {
    if (!running) {
        return;
    }
    auto acceptor = openListener(bindStrand, options.port);
    if (!acceptor) {
        scheduleBind(attempt);
        return;
    }
    listener = std::move(acceptor);
    error_code ec;
    boundPort = listener->local_endpoint(ec).port();
    if (options.onListening) {
        options.onListening(boundPort);
    }
    doAccept(attempt);
}

void Server::Impl::scheduleBind(int attempt) {
    if (attempt == options.lastBindAttempt) {
        TD_LOG(http, "port " + std::to_string(options.port) +
                         " still taken; trying again every few seconds");
        if (options.onBindGaveUp) {
            options.onBindGaveUp();
        }
    }
    bindTimer.expires_after(attempt >= options.lastBindAttempt ? options.slowBindRetryDelay
                                                               : options.bindRetryDelay);
    bindTimer.async_wait([this, attempt](const error_code& ec) {
        if (!ec) {
            bindWithRetry(attempt + 1);
        }
    });
}

void Server::Impl::doAccept(int attempt) {
    // The peer's address comes with the accept itself. A single network thread is an implicit
    // strand; with more, each connection gets a strand of its own.
    if (options.networkThreads > 1) {
        accepting.emplace(asio::make_strand(env->ioc));
    } else {
        accepting.emplace(env->ioc);
    }
    listener->async_accept(*accepting, acceptedPeer, [this, attempt](const error_code& ec) {
        onAccept(attempt, ec, std::move(*accepting));
    });
}

void Server::Impl::onAccept(int attempt, const error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !running) {
        return;
    }
    if (isTransientAcceptError(ec)) {
        // Out of descriptors or a peer gone before accept: keep listening after a breath.
        bindTimer.expires_after(std::chrono::milliseconds(50));
        bindTimer.async_wait([this, attempt](const error_code& waitEc) {
            if (!waitEc) {
                doAccept(attempt);
            }
        });
        return;
    }
    if (ec) {
        // The listener itself failed: bind again with the next attempt number.
        error_code ignored;
        listener->close(ignored);
        listener.reset();
        boundPort = 0;
        scheduleBind(attempt);
        return;
    }
    closeOnExec(socket);
    std::string peer = acceptedPeer.address().to_string();
    if (env->admit(peer)) {
        // Whose process a loopback peer is, is asked only if a request needs it.
        const RequestSource source =
            isLoopbackAddress(peer) ? RequestSource::loopbackAddress : RequestSource::network;
        std::make_shared<TcpConnection>(std::move(socket), std::move(peer), source, env)->start();
    } else {
        error_code ignored;
        socket.close(ignored);
    }
    doAccept(attempt);
}

void Server::Impl::scheduleKeepAlive(asio::steady_timer::time_point at) {
    sseTimer.expires_at(at);
    sseTimer.async_wait([this, at](const error_code& ec) {
        if (ec || !running) {
            return;
        }
        // Firings keep to the schedule set at start, whatever a broadcast costs.
        scheduleKeepAlive(at + options.keepAliveInterval);
        owner.broadcast(SSE_KEEP_ALIVE);
    });
}

// Once no thread runs the io_context: every socket is closed and the cancelled operations are
// run to their end, so that no handler in it still holds a connection.
void Server::Impl::closeEveryConnection() {
    std::vector<std::shared_ptr<TcpConnection>> open;
    {
        std::lock_guard lock(env->mutex);
        for (TcpConnection* connection : env->open) {
            if (auto alive = connection->weak_from_this().lock()) {  // not one being destroyed
                open.push_back(std::move(alive));
            }
        }
    }
    error_code ignored;
    if (listener) {
        listener->close(ignored);
    }
    bindTimer.cancel();
    sseTimer.cancel();
    for (const auto& connection : open) {
        connection->closeNow();
    }
    open.clear();
    env->ioc.restart();
    env->ioc.run();
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(*this, std::move(options))) {}

Server::~Server() {
    stop();
}

void Server::setRouter(Router router) {
    impl_->router = std::move(router);
}

void Server::start() {
    Impl& s = *impl_;
    if (s.running.exchange(true)) {
        return;
    }
    s.work.emplace(s.env->ioc.get_executor());
    asio::post(s.bindStrand, [&s] { s.bindWithRetry(0); });
    s.scheduleKeepAlive(asio::steady_timer::clock_type::now() + s.options.keepAliveInterval);
    for (std::size_t i = 0; i < std::max<std::size_t>(1, s.options.networkThreads); ++i) {
        s.networkThreads.emplace_back([&s] { s.env->ioc.run(); });
    }
}

void Server::stop() {
    Impl& s = *impl_;
    if (!s.running.exchange(false)) {
        return;
    }
    {
        // From here on, writes from other threads (a handler, the HTTPS client) fail at once.
        std::lock_guard lock(s.env->mutex);
        s.env->stopped = true;
    }
    s.work.reset();
    s.env->ioc.stop();
    for (auto& thread : s.networkThreads) {
        thread.join();
    }
    s.networkThreads.clear();
    // Before the handlers are waited for: one reading a streamed body waits on its connection,
    // and hears its end only when the connection closes.
    s.closeEveryConnection();
    s.pool.stop();
    {
        std::lock_guard lock(s.sseLock);
        s.sseConns.clear();
    }
    s.closeEveryConnection();  // whatever the last handlers left queued
}

std::uint16_t Server::port() const {
    return impl_->options.port;
}

std::uint16_t Server::listeningPort() const {
    return impl_->boundPort;
}

const std::filesystem::path& Server::publicDir() const {
    return impl_->options.publicDir;
}

void Server::adopt(int fd, std::string peer) {
    Impl& s = *impl_;
    std::lock_guard lock(s.env->mutex);
    if (s.env->stopped || !s.running) {
        ::close(fd);
        return;
    }
    asio::post(s.env->ioc, [env = s.env, fd, peer = std::move(peer),
                            strand = s.options.networkThreads > 1]() mutable {
        tcp::socket socket =
            strand ? tcp::socket(asio::make_strand(env->ioc)) : tcp::socket(env->ioc);
        error_code ec;
        // Only reads, writes and shutdowns are asked of it, which any stream socket does.
        socket.assign(tcp::v4(), fd, ec);
        if (ec) {
            ::close(fd);
            return;
        }
        if (!env->admit(peer)) {
            socket.close(ec);
            return;
        }
        std::make_shared<TcpConnection>(std::move(socket), std::move(peer), RequestSource::relay,
                                        env)
            ->start();
    });
}

void Server::runOnWorkPool(std::function<void()> task) {
    impl_->pool.post(std::move(task));
}

void Server::openSSE(const ConnectionPtr& connection, const std::string& peer,
                     std::function<bool()> paired) {
    Impl& s = *impl_;
    bool admitted = false;
    {
        std::lock_guard lock(s.sseLock);
        const auto fromPeer =
            std::count_if(s.sseConns.begin(), s.sseConns.end(),
                          [&peer](const auto& stream) { return stream.peer == peer; });
        const auto openingFromPeer = std::count(s.sseOpening.begin(), s.sseOpening.end(), peer);
        admitted = s.sseConns.size() + s.sseOpening.size() < s.options.limits.maxEventStreams &&
                   static_cast<std::size_t>(fromPeer + openingFromPeer) <
                       s.options.limits.maxEventStreamsPerPeer;
        // Held until the stream is listed: another network thread opening one meanwhile counts it.
        if (admitted) {
            s.sseOpening.push_back(peer);
        }
    }
    if (!admitted) {
        connection->json({{"ok", false}}, 503);  // an event source gives up rather than retry
        return;
    }
    // The head is queued before the stream is listed: no event may go out before it.
    connection->sendRaw(streamHead(), false);
    {
        std::lock_guard lock(s.sseLock);
        s.sseOpening.erase(std::find(s.sseOpening.begin(), s.sseOpening.end(), peer));
        s.sseConns.push_back({connection, peer, std::move(paired)});
    }
    connection->sendRaw(streamGreeting(), false);
}

void Server::broadcast(std::string_view message, StreamAudience audience) {
    std::vector<ConnectionPtr> streams;
    {
        std::lock_guard lock(impl_->sseLock);
        for (const auto& stream : impl_->sseConns) {
            if (audience == StreamAudience::anyone || (stream.paired && stream.paired())) {
                streams.push_back(stream.connection);
            }
        }
    }
    auto framed = std::make_shared<const std::string>(sseChunk(message));
    for (const auto& stream : streams) {
        stream->sendRaw(framed, false, [this, weak = std::weak_ptr(stream)](bool ok) {
            if (auto dead = weak.lock(); dead && !ok) {
                dropSSE(dead);
            }
        });
    }
}

void Server::broadcastReload() {
    broadcast(SSE_RELOAD);
}

void Server::dropSSE(const ConnectionPtr& connection) {
    {
        std::lock_guard lock(impl_->sseLock);
        std::erase_if(impl_->sseConns, [&connection](const auto& stream) {
            return stream.connection == connection;
        });
    }
    connection->close();
}

std::size_t Server::eventStreamCount() const {
    std::lock_guard lock(impl_->sseLock);
    return impl_->sseConns.size();
}

std::size_t Server::openConnectionCount() const {
    return impl_->env->openCount.load(std::memory_order_relaxed);
}

}  // namespace td::server
