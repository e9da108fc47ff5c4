#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace td::relay_server {

// How much of a TLS connection's first bytes is read, at most, to learn the name it asks for.
inline constexpr std::size_t MAX_CLIENT_HELLO_BYTES = 16 * 1024;

// What the first bytes of a connection say about the server name its ClientHello asks for.
// The hello may span several records, and records several segments.
struct HelloScan {
    enum class Kind {
        incomplete,  // `needBytes` bytes from the start are needed to go on
        named,       // `serverName`: lower-case, or empty when the hello names none
        refused,     // not a TLS ClientHello, malformed, or larger than MAX_CLIENT_HELLO_BYTES
    };
    Kind kind = Kind::refused;
    std::size_t needBytes = 0;
    std::string serverName;
};

// `bytes`: all the connection has sent so far, from its first byte. Nothing is consumed: the
// same bytes, and more, may be scanned again.
HelloScan scanClientHello(std::string_view bytes);

}  // namespace td::relay_server
