#include "common/json.hpp"

namespace td {

std::string dumpCompact(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception&) {
        return "{}";
    }
}

bool nestsAtMost(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char ch : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                inString = false;
            }
        } else if (ch == '"') {
            inString = true;
        } else if (ch == '[' || ch == '{') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if (ch == ']' || ch == '}') {
            --depth;
        }
    }
    return true;
}

std::optional<Json> parseJson(std::string_view text) {
    if (!nestsAtMost(text)) {
        return std::nullopt;
    }
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

Json parseObjectOrEmpty(std::string_view text) {
    auto parsed = parseJson(text);
    if (parsed && parsed->is_object()) {
        return std::move(*parsed);
    }
    return Json::object();
}

}  // namespace td
