#include "common/json.hpp"

namespace td {

std::string dumpCompact(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception&) {
        return "{}";
    }
}

std::optional<Json> parseJson(std::string_view text) {
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
