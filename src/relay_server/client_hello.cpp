#include "relay_server/client_hello.hpp"

#include <cctype>
#include <optional>

namespace td::relay_server {
namespace {

constexpr std::size_t RECORD_HEAD_BYTES = 5;
constexpr std::size_t HANDSHAKE_HEAD_BYTES = 4;
constexpr unsigned char HANDSHAKE_RECORD = 0x16;
constexpr unsigned char CLIENT_HELLO = 0x01;
constexpr std::size_t MAX_RECORD_BYTES = 16 * 1024;
constexpr unsigned SERVER_NAME_EXTENSION = 0;
constexpr unsigned char HOST_NAME = 0;
constexpr std::size_t MAX_NAME_BYTES = 253;

HelloScan refused() {
    return {};
}

HelloScan incomplete(std::size_t needBytes) {
    if (needBytes > MAX_CLIENT_HELLO_BYTES) {
        return refused();
    }
    return {HelloScan::Kind::incomplete, needBytes, {}};
}

// Reads big-endian fields off the front of a view; any read past its end spoils it.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    bool empty() const { return bytes_.empty(); }

    unsigned number(std::size_t width) {
        if (!ok_ || bytes_.size() < width) {
            ok_ = false;
            return 0;
        }
        unsigned value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[i]);
        }
        bytes_.remove_prefix(width);
        return value;
    }
    std::string_view take(std::size_t size) {
        if (!ok_ || bytes_.size() < size) {
            ok_ = false;
            return {};
        }
        const auto taken = bytes_.substr(0, size);
        bytes_.remove_prefix(size);
        return taken;
    }
    // A field whose length comes first, in `width` bytes.
    std::string_view vector(std::size_t width) { return take(number(width)); }

  private:
    std::string_view bytes_;
    bool ok_ = true;
};

// A host name as DNS spells it: letters, digits, hyphens and dots; lower-cased.
std::optional<std::string> hostName(std::string_view name) {
    if (name.empty() || name.size() > MAX_NAME_BYTES) {
        return std::nullopt;
    }
    std::string lower;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '-' && c != '.') {
            return std::nullopt;
        }
        lower.push_back(static_cast<char>(std::tolower(u)));
    }
    return lower;
}

// The server name of a whole ClientHello's body; "" when it has none; nothing when malformed.
std::optional<std::string> serverNameOf(std::string_view body) {
    Reader hello(body);
    hello.number(2);  // the legacy version
    hello.take(32);   // random
    if (hello.vector(1).size() > 32) {
        return std::nullopt;  // a session id is 32 bytes at most
    }
    const auto suites = hello.vector(2);
    const auto compressions = hello.vector(1);
    if (!hello.ok() || suites.empty() || suites.size() % 2 != 0 || compressions.empty()) {
        return std::nullopt;
    }
    if (hello.empty()) {
        return std::string();  // no extensions at all
    }
    Reader extensions(hello.vector(2));
    if (!hello.ok() || !hello.empty()) {
        return std::nullopt;
    }
    while (!extensions.empty()) {
        const unsigned type = extensions.number(2);
        Reader data(extensions.vector(2));
        if (!extensions.ok()) {
            return std::nullopt;
        }
        if (type != SERVER_NAME_EXTENSION) {
            continue;
        }
        Reader names(data.vector(2));
        if (!data.ok() || !data.empty()) {
            return std::nullopt;
        }
        const unsigned nameType = names.number(1);
        const auto name = names.vector(2);
        if (!names.ok() || nameType != HOST_NAME) {
            return std::nullopt;
        }
        return hostName(name);
    }
    return std::string();
}

}  // namespace

HelloScan scanClientHello(std::string_view bytes) {
    // The handshake message, gathered from the records' fragments.
    std::string handshake;
    std::size_t offset = 0;
    while (true) {
        if (bytes.size() < offset + RECORD_HEAD_BYTES) {
            return incomplete(offset + RECORD_HEAD_BYTES);
        }
        Reader head(bytes.substr(offset, RECORD_HEAD_BYTES));
        const unsigned type = head.number(1);
        const unsigned major = head.number(1);
        head.number(1);  // the minor version varies among clients
        const std::size_t length = head.number(2);
        if (type != HANDSHAKE_RECORD || major != 3 || length == 0 || length > MAX_RECORD_BYTES) {
            return refused();
        }
        const std::size_t recordEnd = offset + RECORD_HEAD_BYTES + length;
        if (recordEnd > MAX_CLIENT_HELLO_BYTES) {
            return refused();
        }
        if (bytes.size() < recordEnd) {
            return incomplete(recordEnd);
        }
        handshake.append(bytes.substr(offset + RECORD_HEAD_BYTES, length));
        offset = recordEnd;
        if (handshake.size() < HANDSHAKE_HEAD_BYTES) {
            continue;
        }
        Reader message(handshake);
        if (message.number(1) != CLIENT_HELLO) {
            return refused();
        }
        const std::size_t bodyLength = message.number(3);
        if (HANDSHAKE_HEAD_BYTES + bodyLength > MAX_CLIENT_HELLO_BYTES) {
            return refused();
        }
        if (handshake.size() < HANDSHAKE_HEAD_BYTES + bodyLength) {
            continue;
        }
        const auto name = serverNameOf(message.take(bodyLength));
        if (!name) {
            return refused();
        }
        return {HelloScan::Kind::named, 0, *name};
    }
}

}  // namespace td::relay_server
