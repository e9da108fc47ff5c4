#include "common/random.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace td {

std::vector<std::uint8_t> secureRandomBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    // getentropy: the same call on Linux and macOS, at most 256 bytes at a time.
    constexpr std::size_t MAX_PER_CALL = 256;
    for (std::size_t filled = 0; filled < count; filled += MAX_PER_CALL) {
        if (::getentropy(bytes.data() + filled, std::min(MAX_PER_CALL, count - filled)) != 0) {
            // Without a secure source no PIN, token or code may be made at all.
            std::fputs("tapdeck: no secure random source\n", stderr);
            std::abort();
        }
    }
    return bytes;
}

std::string randomHex(std::size_t count) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::uint8_t byte : secureRandomBytes(count)) {
        out.push_back(DIGITS[byte >> 4]);
        out.push_back(DIGITS[byte & 0x0F]);
    }
    return out;
}

std::uint32_t secureRandomBelow(std::uint32_t bound) {
    // Reject the top partial range so that every value is equally likely.
    const std::uint32_t limit = UINT32_MAX - (UINT32_MAX % bound);
    while (true) {
        const auto bytes = secureRandomBytes(4);
        const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) |
                                    (std::uint32_t{bytes[1]} << 16) |
                                    (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
        if (value < limit) {
            return value % bound;
        }
    }
}

std::string randomUuidUpper() {
    auto b = secureRandomBytes(16);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

}  // namespace td
