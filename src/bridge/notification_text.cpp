#include "bridge/notification_text.hpp"

#include <cctype>
#include <charconv>
#include <cstdint>

#include "tiles/tile_board.hpp"

namespace td::bridge {
namespace {

bool isTagStart(std::string_view rest) {
    std::size_t at = 1;
    if (at < rest.size() && rest[at] == '/') {
        ++at;
    }
    return at < rest.size() && std::isalpha(static_cast<unsigned char>(rest[at]));
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character an entity at the start of `rest` stands for, and its length; nothing for an
// ampersand that starts none (it is then text).
bool readEntity(std::string_view rest, std::string& out, std::size_t& length) {
    const std::size_t end = rest.substr(0, 12).find(';');
    if (end == std::string_view::npos) {
        return false;
    }
    const std::string_view name = rest.substr(1, end - 1);
    length = end + 1;
    static constexpr std::pair<std::string_view, char> NAMED[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, character] : NAMED) {
        if (name == entity) {
            out += character;
            return true;
        }
    }
    if (name.size() < 2 || name[0] != '#') {
        return false;
    }
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    std::uint32_t code = 0;
    const auto [last, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
    if (error != std::errc() || last != digits.data() + digits.size() || digits.empty()) {
        return false;
    }
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        out += "\xEF\xBF\xBD";  // U+FFFD
    } else {
        appendUtf8(out, code);
    }
    return true;
}

std::string withoutMarkup(std::string_view markup) {
    std::string text;
    text.reserve(markup.size());
    // Where the next '>' is, found once for all the '<' before it: a text of a million "<a"
    // is read in one pass, not a million.
    std::size_t close = markup.find('>');
    for (std::size_t i = 0; i < markup.size();) {
        const std::string_view rest = markup.substr(i);
        std::size_t length = 0;
        if (close != std::string_view::npos && close < i) {
            close = markup.find('>', i);
        }
        if (rest[0] == '<' && isTagStart(rest) && close != std::string_view::npos) {
            i = close + 1;
        } else if (rest[0] == '&' && readEntity(rest, text, length)) {
            i += length;
        } else {
            text += rest[0];
            ++i;
        }
    }
    return text;
}

std::size_t characterLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;  // not within a character
    }
    return text.substr(0, end);
}

std::string plainText(std::string_view given, std::size_t maxCharacters, Markup markup) {
    // Markup around the characters shown takes room of its own, but not without bound.
    given = utf8Prefix(given, maxCharacters * MARKUP_BYTES_PER_CHARACTER);
    const std::string text = tiles::withoutFormatting(markup == Markup::read ? withoutMarkup(given)
                                                                             : std::string(given));
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size();
         i += characterLength(static_cast<unsigned char>(text[i]))) {
        if (++characters == maxCharacters && i + characterLength(text[i]) < text.size()) {
            return text.substr(0, i) + "\xE2\x80\xA6";  // …
        }
    }
    return text;
}

}  // namespace td::bridge
