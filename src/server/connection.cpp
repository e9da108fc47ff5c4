#include "server/connection.hpp"

#include <unistd.h>

#include <cerrno>

namespace td::server {

void Connection::sendFile(std::string head, int fd, std::uint64_t size) {
    std::string bytes;
    if (size <= MAX_HELD_FILE_BYTES) {
        bytes.resize(static_cast<std::size_t>(size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got != bytes.size()) {
            ::close(fd);
            return json({{"ok", false}, {"error", "The file could not be read"}}, 409);
        }
    }
    ::close(fd);
    if (size > MAX_HELD_FILE_BYTES) {
        return json({{"ok", false}, {"error", "Too large to go through this relay"}}, 413);
    }
    sendRaw(head + bytes, true);
}

}  // namespace td::server
