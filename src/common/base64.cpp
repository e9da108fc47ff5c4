#include "common/base64.hpp"

#include <array>
#include <cstdint>

namespace td {
namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t NOT_BASE64 = 0xff;

constexpr std::array<std::uint8_t, 256> decodingTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(NOT_BASE64);
    for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
        table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr auto DECODING = decodingTable();

}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    std::size_t i = 0;
    auto byte = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]));
    };
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out += ALPHABET[group >> 18 & 63];
        out += ALPHABET[group >> 12 & 63];
        out += ALPHABET[group >> 6 & 63];
        out += ALPHABET[group & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        const std::uint32_t group = byte(i) << 16 | (left == 2 ? byte(i + 1) << 8 : 0);
        out += ALPHABET[group >> 18 & 63];
        out += ALPHABET[group >> 12 & 63];
        out += left == 2 ? ALPHABET[group >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint8_t value =
                k >= 4 - padding ? 0 : DECODING[static_cast<unsigned char>(text[i + k])];
            if (value == NOT_BASE64) {
                return std::nullopt;
            }
            group = group << 6 | value;
        }
        out += static_cast<char>(group >> 16 & 0xff);
        if (padding < 2) {
            out += static_cast<char>(group >> 8 & 0xff);
        }
        if (padding < 1) {
            out += static_cast<char>(group & 0xff);
        }
    }
    return out;
}

std::string base64UrlEncode(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
    if (text.size() % 4 == 1 || text.find_first_of("+/=") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string standard(text);
    for (char& c : standard) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    return base64Decode(standard);
}

}  // namespace td
