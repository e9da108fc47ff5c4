// Feeds arbitrary bytes, as a stranger's first bytes to a passthrough relay, to the ClientHello
// scanner and to the PROXY line reader. Beyond "no crash": a hello that is read names the same
// server whatever follows it, one that is not yet whole asks for more than it has; a PROXY line
// that is read ends in CR LF within its bound and reads the same on its own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_require.hpp"
#include "relay_server/client_hello.hpp"
#include "relay_server/proxy_header.hpp"

using td::fuzz::require;
using namespace td::relay_server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const HelloScan hello = scanClientHello(bytes);
    if (hello.kind == HelloScan::Kind::incomplete) {
        require(hello.needBytes > size && hello.needBytes <= MAX_CLIENT_HELLO_BYTES + 5);
    } else if (hello.kind == HelloScan::Kind::named) {
        for (const char c : hello.serverName) {
            require(c < 'A' || c > 'Z');
        }
        const HelloScan longer = scanClientHello(std::string(bytes) + "\x16\x03\x01");
        require(longer.kind == HelloScan::Kind::named && longer.serverName == hello.serverName);
    }
    const ProxyHeaderScan line = scanProxyHeader(bytes);
    if (line.kind == ProxyHeaderScan::Kind::complete) {
        require(line.bytes <= size && line.bytes <= MAX_PROXY_HEADER_BYTES &&
                bytes.substr(line.bytes - 2, 2) == "\r\n");
        const ProxyHeaderScan alone = scanProxyHeader(bytes.substr(0, line.bytes));
        require(alone.kind == line.kind && alone.client == line.client);
    } else if (line.kind == ProxyHeaderScan::Kind::incomplete) {
        require(size < MAX_PROXY_HEADER_BYTES);
    }
    return 0;
}
