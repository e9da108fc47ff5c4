#include "server/peer_owner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace td::server {
namespace {

constexpr int kWaitMs = 5000;
constexpr uid_t kNobody = 65534;

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
    return poll(&ready, 1, kWaitMs) == 1;
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

// A process of another user holding its connections open until the test lets go of it.
class OtherUsersClient {
  public:
    OtherUsersClient(uid_t uid, const std::vector<Address>& targets) {
        int ready[2];
        int release[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(release[1]);
            runChild(uid, targets, ready[1], release[0]);
        }
        close(ready[1]);
        close(release[0]);
        ready_ = Fd(ready[0]);
        release_ = Fd(release[1]);
    }
    ~OtherUsersClient() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool connected() {
        char outcome = 0;
        return pid_ > 0 && readable(ready_) && read(ready_.get(), &outcome, 1) == 1 &&
               outcome == '1';
    }

  private:
    // Stays until `release` reaches its end: when the test closes it or dies.
    [[noreturn]] static void runChild(uid_t uid, const std::vector<Address>& targets, int ready,
                                      int release) {
        char outcome = setgid(uid) == 0 && setuid(uid) == 0 ? '1' : '0';
        for (const Address& target : targets) {
            outcome = outcome == '1' && connectTo(target) >= 0 ? '1' : '0';
        }
        char byte;
        if (write(ready, &outcome, 1) == 1) {
            [[maybe_unused]] auto released = read(release, &byte, 1);
        }
        _exit(0);
    }

    pid_t pid_ = -1;
    Fd ready_;
    Fd release_;
};

TEST(PeerOwner, IsTheOtherUserForAnotherUsersConnection) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can start a client as another user";
    }
    const Fd listening = listener(true);
    const int port = portOf(listening);
    OtherUsersClient client(kNobody, {addressOf("127.0.0.1", port), addressOf("::1", port)});
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(loopbackPeerOwner(acceptFrom(listening).get()), kNobody);
    EXPECT_EQ(loopbackPeerOwner(acceptFrom(listening).get()), kNobody);
}

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
