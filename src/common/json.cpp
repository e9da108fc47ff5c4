#include "common/json.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace td {
namespace {

template <class Document>
std::optional<Document> parseShaped(std::string_view text, std::size_t maxValues) {
    if (shapeOf(text, maxValues) != JsonShape::fits) {
        return std::nullopt;
    }
    Document parsed =
        Document::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

}  // namespace

std::string dumpCompact(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception&) {
        return "{}";
    }
}

namespace {

// Where the string that opens at `open` (a quote) ends: just past its closing quote, or the
// text's end. Strings are most of a message's bytes: they are skipped a quote at a time, a quote
// being the end unless an odd number of backslashes escapes it.
std::size_t pastString(std::string_view text, std::size_t open) {
    for (std::size_t from = open + 1; from < text.size();) {
        const auto* quote =
            static_cast<const char*>(std::memchr(text.data() + from, '"', text.size() - from));
        if (!quote) {
            break;
        }
        const std::size_t close = static_cast<std::size_t>(quote - text.data());
        std::size_t backslashes = 0;
        while (close - backslashes > open + 1 && text[close - backslashes - 1] == '\\') {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            return close + 1;
        }
        from = close + 1;
    }
    return text.size();
}

}  // namespace

JsonShape shapeOf(std::string_view text, std::size_t maxValues) {
    // Per open array or object: its member count, or NOT_AN_OBJECT for an array. Every member
    // of an object has exactly one colon outside strings at the object's own level.
    constexpr std::size_t NOT_AN_OBJECT = ~std::size_t{0};
    std::array<std::size_t, MAX_JSON_DEPTH + 1> members{};
    int depth = 0;
    std::size_t values = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char ch = text[at];
        if (ch == '"') {
            at = pastString(text, at) - 1;
            continue;
        }
        if ((ch == '[' || ch == '{' || ch == ',') && ++values > maxValues) {
            return JsonShape::tooMany;
        }
        if (ch == '[' || ch == '{') {
            if (++depth > MAX_JSON_DEPTH) {
                return JsonShape::tooDeep;
            }
            members[depth] = ch == '{' ? 0 : NOT_AN_OBJECT;
        } else if (ch == ']' || ch == '}') {
            depth = depth > 0 ? depth - 1 : 0;
        } else if (ch == ':' && depth > 0 && members[depth] != NOT_AN_OBJECT &&
                   ++members[depth] > MAX_JSON_MEMBERS) {
            return JsonShape::tooWide;
        }
    }
    return JsonShape::fits;
}

std::optional<UntrustedJson> parseJson(std::string_view text, std::size_t maxValues) {
    return parseShaped<UntrustedJson>(text, maxValues);
}

std::optional<Json> parseOrderedJson(std::string_view text) {
    return parseShaped<Json>(text, SIZE_MAX);
}

UntrustedJson parseObjectOrEmpty(std::string_view text) {
    auto parsed = parseJson(text);
    if (parsed && parsed->is_object()) {
        return std::move(*parsed);
    }
    return UntrustedJson::object();
}

}  // namespace td
