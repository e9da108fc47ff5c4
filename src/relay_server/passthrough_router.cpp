// A passthrough relay's listener: each connection's ClientHello is read for its server name
// without a byte being taken from the socket, so that either the relay's own TLS or the agent's
// gets the connection exactly as the phone sent it. Behind a trusted proxy, the PROXY protocol
// line it puts first is read (and taken) before, for the client's address.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/steady_timer.hpp>

#include "relay_server/client_hello.hpp"
#include "relay_server/proxy_header.hpp"
#include "relay_server/session_start.hpp"
#include "relay_server/sessions.hpp"
#include "relay_server/stream_tunnel.hpp"

namespace td::relay_server {
namespace {

// A ClientHello must be whole within this; a phone that trickles it is closed.
constexpr auto HELLO_TIMEOUT = std::chrono::seconds(5);
// How long a reader woken with nothing new waits before it looks again, doubling.
constexpr auto FIRST_PAUSE = std::chrono::milliseconds(10);
constexpr auto LAST_PAUSE = std::chrono::milliseconds(200);

class HelloReader final : public IdleConnection, public std::enable_shared_from_this<HelloReader> {
  public:
    HelloReader(tcp::socket socket, asio::ssl::context& tls, Hub& hub)
        : socket_(std::move(socket)),
          tls_(tls),
          hub_(hub),
          address_(peerOf(socket_)),
          behindProxy_(hub.isTrustedProxy(address_)),
          ticket_(hub.connections),
          timer_(socket_.get_executor()) {}

    ~HelloReader() override {
        if (idlePlace_) {
            hub_.connections.busy(*idlePlace_);
        }
    }

    void start() {
        if (!behindProxy_ && !takeAddressSlot()) {
            return close();
        }
        idlePlace_ = hub_.connections.waiting(weak_from_this());
        timer_.expires_after(HELLO_TIMEOUT);
        timer_.async_wait([weak = weak_from_this()](const error_code& ec) {
            if (auto self = weak.lock(); self && !ec) {
                self->close();
            }
        });
        waitFor(1);
    }

    void evict() override {
        idlePlace_.reset();  // the book took it off its list
        close();
        ticket_.release();
    }

  private:
    // Counts the connection against its client's address, once that is known.
    bool takeAddressSlot() {
        if (!hub_.phones.take(address_)) {
            return false;
        }
        slot_ = AddressSlot(hub_.phones, address_);
        return true;
    }

    // The kernel wakes the reader once `bytes` have arrived, not at each segment.
    void waitFor(std::size_t bytes) {
        const int lowWater = static_cast<int>(bytes);
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this(), bytes](const error_code& ec) {
                               guarded([&] { self->peek(ec, bytes); }, [&] { self->close(); });
                           });
    }

    void peek(const error_code& ec, std::size_t wanted) {
        if (ec || !socket_.is_open()) {
            return close();
        }
        auto& scratch = hub_.scratch();
        const ssize_t got = ::recv(socket_.native_handle(), scratch.data(), scratch.size(),
                                   MSG_PEEK | MSG_DONTWAIT);
        if (got <= 0) {
            return got < 0 && errno == EAGAIN ? waitFor(wanted) : close();
        }
        const std::size_t have = static_cast<std::size_t>(got);
        if (behindProxy_) {
            return readProxyHeader({scratch.data(), have}, wanted);
        }
        const HelloScan scan = scanClientHello({scratch.data(), have});
        switch (scan.kind) {
            case HelloScan::Kind::refused:
                return close();
            case HelloScan::Kind::named:
                return route(scan.serverName);
            case HelloScan::Kind::incomplete:
                return waitForMore(have, wanted, scan.needBytes);
        }
    }

    void readProxyHeader(std::string_view bytes, std::size_t wanted) {
        const ProxyHeaderScan scan = scanProxyHeader(bytes);
        switch (scan.kind) {
            case ProxyHeaderScan::Kind::refused:
                // Said, so that a proxy set up without the line is not a silent outage.
                hub_.log("Closed a connection from trusted proxy " + address_ +
                         ": it did not start with a PROXY protocol (version 1) line");
                return close();
            case ProxyHeaderScan::Kind::incomplete:
                return waitForMore(bytes.size(), wanted, bytes.size() + 1);
            case ProxyHeaderScan::Kind::complete:
                break;
        }
        // Taken from the socket: what follows is the client's own, as it sent it.
        const ssize_t taken =
            ::recv(socket_.native_handle(), hub_.scratch().data(), scan.bytes, MSG_DONTWAIT);
        if (taken != static_cast<ssize_t>(scan.bytes)) {
            return close();
        }
        behindProxy_ = false;
        if (!scan.client.empty()) {
            address_ = scan.client;
        }
        if (!takeAddressSlot()) {
            return close();
        }
        seen_ = 0;
        pause_ = FIRST_PAUSE;
        waitFor(1);
    }

    // `have` bytes were there when woken for `wanted`; `need` are needed to go on.
    void waitForMore(std::size_t have, std::size_t wanted, std::size_t need) {
        if (have < wanted && peerStoppedSending()) {
            return close();  // woken by the end of what it sends, short of what it must
        }
        if (have <= seen_) {
            // Woken with nothing new: many tiny segments fill the socket's memory, and the
            // kernel then wakes it short of the mark. A pause, not a spin.
            return pauseThenWaitFor(need);
        }
        seen_ = have;
        pause_ = FIRST_PAUSE;
        waitFor(need);
    }

    void pauseThenWaitFor(std::size_t bytes) {
        pauseTimer_.expires_after(pause_);
        pause_ = std::min(pause_ * 2, LAST_PAUSE);
        pauseTimer_.async_wait([self = shared_from_this(), bytes](const error_code& ec) {
            if (!ec && self->socket_.is_open()) {
                self->waitFor(bytes);
            }
        });
    }

    bool peerStoppedSending() {
        pollfd ready{socket_.native_handle(), POLLRDHUP, 0};
        return ::poll(&ready, 1, 0) > 0 && (ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }

    void route(const std::string& serverName) {
        timer_.cancel();
        pauseTimer_.cancel();
        if (idlePlace_) {
            hub_.connections.busy(*std::exchange(idlePlace_, std::nullopt));
        }
        const int one = 1;
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
        const auto& options = hub_.options();
        const NameRoute where = routeServerName(serverName, options.phoneDomain, options.names);
        switch (where.kind) {
            case NameRoute::Kind::relay:
                slot_.reset();
                ticket_.handOver();  // the relay's own session counts it
                return serveTls(std::move(socket_), tls_, hub_, address_);
            case NameRoute::Kind::agent:
                return carry(where.id);
            case NameRoute::Kind::none:
                return close();
        }
    }

    void carry(const std::string& id) {
        const auto agent = hub_.find(id);
        const auto tunnel = agent ? agent->tunnel() : nullptr;
        if (!tunnel || !tunnel->carry(socket_, std::move(slot_), ticket_)) {
            close();  // no such computer connected, or it carries as many as it may
        }
    }

    void close() {
        timer_.cancel();
        pauseTimer_.cancel();
        error_code ignored;
        socket_.close(ignored);
    }

    tcp::socket socket_;
    asio::ssl::context& tls_;
    Hub& hub_;
    std::string address_;  // the client's: the peer's, or the one its proxy names
    bool behindProxy_;     // the PROXY line is still to be read
    ConnectionTicket ticket_;
    AddressSlot slot_;
    asio::steady_timer timer_;
    asio::steady_timer pauseTimer_{socket_.get_executor()};
    std::size_t seen_ = 0;  // bytes of the hello peeked so far
    std::chrono::milliseconds pause_ = FIRST_PAUSE;
    std::optional<ConnectionBook::IdlePlace> idlePlace_;
};

}  // namespace

void routeByServerName(tcp::socket socket, asio::ssl::context& tls, Hub& hub) {
    std::make_shared<HelloReader>(std::move(socket), tls, hub)->start();
}

}  // namespace td::relay_server
