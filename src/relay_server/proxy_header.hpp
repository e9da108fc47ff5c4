#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace td::relay_server {

// The longest PROXY protocol (version 1) line, CR LF included.
inline constexpr std::size_t MAX_PROXY_HEADER_BYTES = 107;

// What the first bytes of a connection from a trusted proxy say about the client behind it: the
// proxy (nginx's `proxy_protocol on`, HAProxy's `send-proxy`) writes one line,
// "PROXY TCP4 client server client-port server-port" CR LF, before the client's own bytes.
struct ProxyHeaderScan {
    enum class Kind {
        incomplete,  // more bytes are needed
        complete,    // the line is `bytes` long; `client` is the client's address, or empty
                     // when the proxy knows none (PROXY UNKNOWN)
        refused,     // not such a line, or longer than MAX_PROXY_HEADER_BYTES
    };
    Kind kind = Kind::refused;
    std::size_t bytes = 0;
    std::string client;
};

// `bytes`: all the connection has sent so far, from its first byte.
ProxyHeaderScan scanProxyHeader(std::string_view bytes);

// An address as the relay counts it: an IPv4 address seen on a dual-stack socket
// (::ffff:a.b.c.d) is a.b.c.d; text that is no address stays as it is.
std::string canonicalAddress(const std::string& text);

}  // namespace td::relay_server
