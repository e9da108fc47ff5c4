#include "common/json_read.hpp"

namespace td::jsonread {

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> string(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<bool> asBoolean(const Json& value) {
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    if (value.is_number()) {
        const double n = value.get<double>();
        if (n == 1) {
            return true;
        }
        if (n == 0) {
            return false;
        }
    }
    return std::nullopt;
}

std::optional<bool> boolean(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    return value ? asBoolean(*value) : std::nullopt;
}

std::optional<double> number(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (value->is_number()) {
        return value->get<double>();
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1.0 : 0.0;
    }
    return std::nullopt;
}

std::optional<Json> object(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_object()) {
        return std::nullopt;
    }
    return *value;
}

std::optional<std::vector<Json>> objects(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_array()) {
        return std::nullopt;
    }
    std::vector<Json> out;
    out.reserve(value->size());
    for (const Json& element : *value) {
        if (!element.is_object()) {
            return std::nullopt;
        }
        out.push_back(element);
    }
    return out;
}

}  // namespace td::jsonread
