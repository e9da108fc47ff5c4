#include "server/peer_owner.hpp"

#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace td::server {
namespace {

constexpr int WAIT_MS = 5000;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }

  private:
    int fd_;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

Address addressOf(const char* host, int port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    Address address;
    if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) == 0) {
        std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
        address.length = found->ai_addrlen;
        freeaddrinfo(found);
    }
    return address;
}

// System calls only, so that a forked child may use it; a loopback connect to a listener
// completes at once.
int connectTo(const Address& address) {
    const int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 &&
        connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int portOf(const Fd& fd) {
    sockaddr_in6 bound{};  // sin_port sits at the same offset
    socklen_t length = sizeof bound;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin6_port);
}

// Dual-stack on every interface, as the agent listens, or IPv4 loopback only.
Fd listener(bool dualStack) {
    const Address any = addressOf(dualStack ? "::" : "127.0.0.1", 0);
    Fd fd(socket(any.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int v6only = 0;
    if ((dualStack &&
         setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&any.storage), any.length) != 0 ||
        listen(fd.get(), 8) != 0) {
        ADD_FAILURE() << "cannot listen: " << std::strerror(errno);
    }
    return fd;
}

bool readable(const Fd& fd) {
    pollfd ready{.fd = fd.get(), .events = POLLIN, .revents = 0};
    return poll(&ready, 1, WAIT_MS) == 1;
}

Fd acceptFrom(const Fd& listening) {
    return Fd(readable(listening) ? accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
}

TEST(PeerOwner, IsThisUserForConnectionsFromThisProcess) {
    // "::ffff:127.0.0.1" is an IPv6 client socket carrying an IPv4 connection.
    for (const auto& [dualStack, client] :
         std::vector<std::pair<bool, const char*>>{{true, "127.0.0.1"},
                                                   {true, "::1"},
                                                   {true, "::ffff:127.0.0.1"},
                                                   {false, "127.0.0.1"}}) {
        SCOPED_TRACE(std::string(dualStack ? "dual-stack listener, " : "IPv4 listener, ") + client);
        const Fd listening = listener(dualStack);
        const Fd connected(connectTo(addressOf(client, portOf(listening))));
        ASSERT_GE(connected.get(), 0) << std::strerror(errno);
        EXPECT_EQ(loopbackPeerOwner(acceptFrom(listening).get()), getuid());
    }
}

// Another user's connection is tested end to end, through the API, in the api tests.

TEST(PeerOwner, IsUnknownWithoutAPeerSomeoneHolds) {
    const Fd unconnected(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(loopbackPeerOwner(unconnected.get()), std::nullopt);

    // The kernel keeps a closed end around for a while and says root owns it.
    const Fd listening = listener(true);
    Fd client(connectTo(addressOf("127.0.0.1", portOf(listening))));
    const Fd accepted = acceptFrom(listening);
    client.reset();
    char byte;
    ASSERT_TRUE(readable(accepted) && read(accepted.get(), &byte, 1) == 0);
    EXPECT_EQ(loopbackPeerOwner(accepted.get()), std::nullopt);
}

}  // namespace
}  // namespace td::server
