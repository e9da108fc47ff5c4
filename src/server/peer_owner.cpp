#include "server/peer_owner.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace td::server {
namespace {

// One end of a TCP connection as the kernel files it: an IPv4 connection lives in the IPv4 table
// with plain IPv4 addresses, also when a dual-stack socket sees its peer as ::ffff:a.b.c.d.
struct Endpoint {
    int family = AF_UNSPEC;
    std::array<std::uint32_t, 4> address{};  // network byte order, as inet_diag_sockid holds it
    std::uint16_t port = 0;                  // network byte order
};

std::optional<Endpoint> endpointFrom(const sockaddr_storage& storage, socklen_t length) {
    Endpoint endpoint;
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in v4;
        std::memcpy(&v4, &storage, sizeof v4);
        endpoint.family = AF_INET;
        endpoint.address[0] = v4.sin_addr.s_addr;
        endpoint.port = v4.sin_port;
        return endpoint;
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 v6;
        std::memcpy(&v6, &storage, sizeof v6);
        endpoint.port = v6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            endpoint.family = AF_INET;
            std::memcpy(endpoint.address.data(), &v6.sin6_addr.s6_addr[12], 4);
        } else {
            endpoint.family = AF_INET6;
            std::memcpy(endpoint.address.data(), &v6.sin6_addr, sizeof v6.sin6_addr);
        }
        return endpoint;
    }
    return std::nullopt;
}

// One end of the connection on `fd`, as getsockname or getpeername tells it.
using EndName = int (*)(int, sockaddr*, socklen_t*);
std::optional<Endpoint> endOf(int fd, EndName name) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (name(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return std::nullopt;
    }
    return endpointFrom(storage, length);
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

constexpr std::uint32_t SEQUENCE = 1;  // each lookup has a netlink socket of its own

// Without NLM_F_DUMP the kernel looks the one socket up in its connection hash instead of
// walking every socket on the machine.
DiagRequest exactLookup(const Endpoint& socketLocal, const Endpoint& socketRemote) {
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = SEQUENCE;
    request.body.sdiag_family = static_cast<std::uint8_t>(socketLocal.family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    request.body.id.idiag_sport = socketLocal.port;
    request.body.id.idiag_dport = socketRemote.port;
    std::memcpy(request.body.id.idiag_src, socketLocal.address.data(), sizeof socketLocal.address);
    std::memcpy(request.body.id.idiag_dst, socketRemote.address.data(),
                sizeof socketRemote.address);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

class SockDiagSocket {
  public:
    SockDiagSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
        // The kernel answers while handling the request; the limit only guards against the
        // unforeseen, so that a connection is never held up for long.
        const timeval timeout{.tv_sec = 1, .tv_usec = 0};
        if (fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~SockDiagSocket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    SockDiagSocket(const SockDiagSocket&) = delete;
    SockDiagSocket& operator=(const SockDiagSocket&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    bool send(const DiagRequest& request) {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ssize_t sent;
        do {
            sent = sendto(fd_, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                          sizeof kernel);
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(sizeof request);
    }

    // One whole datagram from the kernel: nothing on timeout, on truncation, or when another
    // process managed to write to this socket.
    std::optional<std::span<const std::byte>> receive(std::span<std::byte> buffer) {
        sockaddr_nl sender{};
        iovec part{.iov_base = buffer.data(), .iov_len = buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        ssize_t received;
        do {
            received = recvmsg(fd_, &message, 0);
        } while (received < 0 && errno == EINTR);
        if (received < 0 || (message.msg_flags & MSG_TRUNC) != 0 ||
            message.msg_namelen < sizeof sender || sender.nl_pid != 0) {
            return std::nullopt;
        }
        return buffer.first(static_cast<std::size_t>(received));
    }

  private:
    int fd_;
};

// The socket description in the kernel's reply; an NLMSG_ERROR (ENOENT when no such socket
// exists) or anything malformed gives nothing.
std::optional<inet_diag_msg> diagMessageIn(std::span<const std::byte> datagram) {
    nlmsghdr header;
    if (datagram.size() < sizeof header) {
        return std::nullopt;
    }
    std::memcpy(&header, datagram.data(), sizeof header);
    if (header.nlmsg_len > datagram.size() || header.nlmsg_seq != SEQUENCE ||
        header.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return std::nullopt;
    }
    inet_diag_msg message;
    std::memcpy(&message, datagram.data() + NLMSG_HDRLEN, sizeof message);
    return message;
}

// Once its owner has closed it, the peer's socket lingers (orphaned, then as a time-wait
// minisocket) and the kernel reports it as owned by uid 0, which would read as root. Such sockets
// have inode 0; a socket some process still holds always has an inode. The ports are checked so
// that only the socket asked about is believed.
bool describesHeldSocket(const inet_diag_msg& message, const DiagRequest& request) {
    return message.idiag_inode != 0 && message.id.idiag_sport == request.body.id.idiag_sport &&
           message.id.idiag_dport == request.body.id.idiag_dport;
}

}  // namespace

std::optional<uid_t> loopbackPeerOwner(int fd) {
    const auto ours = endOf(fd, ::getsockname);
    const auto theirs = endOf(fd, ::getpeername);
    if (!ours || !theirs || ours->family != theirs->family) {
        return std::nullopt;
    }
    // The peer's socket is this connection seen from the other side.
    const DiagRequest request = exactLookup(*theirs, *ours);
    SockDiagSocket netlink;
    if (!netlink.isOpen() || !netlink.send(request)) {
        return std::nullopt;
    }
    std::array<std::byte, 8192> buffer;
    const auto datagram = netlink.receive(buffer);
    const auto message = datagram ? diagMessageIn(*datagram) : std::nullopt;
    if (!message || !describesHeldSocket(*message, request)) {
        return std::nullopt;
    }
    return message->idiag_uid;
}

}  // namespace td::server
