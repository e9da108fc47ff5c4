#pragma once

#include <sys/types.h>

#include <optional>

namespace td::server {

// The user owning the socket at the other end of a connected loopback TCP socket `fd`, from the
// kernel (sock_diag); nothing when the kernel cannot say (the peer is gone, netlink refused...).
// A peer on another computer has no socket here, so it gives nothing as well.
std::optional<uid_t> loopbackPeerOwner(int fd);

}  // namespace td::server
