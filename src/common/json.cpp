#include "common/json.hpp"

#include <array>

namespace td {
namespace {

template <class Document>
std::optional<Document> parseShaped(std::string_view text) {
    if (shapeOf(text) != JsonShape::fits) {
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

// Follows JSON text a character at a time, to tell the characters inside strings (quotes and
// escapes included) from the structure around them.
class OutsideStrings {
  public:
    bool outside(char ch) {
        if (inString_) {
            if (escaped_) {
                escaped_ = false;
            } else if (ch == '\\') {
                escaped_ = true;
            } else if (ch == '"') {
                inString_ = false;
            }
            return false;
        }
        inString_ = ch == '"';
        return !inString_;
    }

  private:
    bool inString_ = false;
    bool escaped_ = false;
};

}  // namespace

JsonShape shapeOf(std::string_view text) {
    // Per open array or object: its member count, or NOT_AN_OBJECT for an array. Every member
    // of an object has exactly one colon outside strings at the object's own level.
    constexpr std::size_t NOT_AN_OBJECT = ~std::size_t{0};
    std::array<std::size_t, MAX_JSON_DEPTH + 1> members{};
    int depth = 0;
    OutsideStrings scan;
    for (const char ch : text) {
        if (!scan.outside(ch)) {
            continue;
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

bool valuesAtMost(std::string_view text, std::size_t limit) {
    std::size_t values = 0;
    OutsideStrings scan;
    for (const char ch : text) {
        if (scan.outside(ch) && (ch == '[' || ch == '{' || ch == ',') && ++values > limit) {
            return false;
        }
    }
    return true;
}

std::optional<UntrustedJson> parseJson(std::string_view text) {
    return parseShaped<UntrustedJson>(text);
}

std::optional<Json> parseOrderedJson(std::string_view text) {
    return parseShaped<Json>(text);
}

UntrustedJson parseObjectOrEmpty(std::string_view text) {
    auto parsed = parseJson(text);
    if (parsed && parsed->is_object()) {
        return std::move(*parsed);
    }
    return UntrustedJson::object();
}

}  // namespace td
