#include "common/json_read.hpp"

namespace td::jsonread {

template <class J>
const J* member(const J& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

template <class J>
std::optional<std::string> string(const J& object, std::string_view key) {
    const J* value = member(object, key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->template get<std::string>();
}

template <class J>
std::optional<bool> asBoolean(const J& value) {
    if (value.is_boolean()) {
        return value.template get<bool>();
    }
    if (value.is_number()) {
        const double n = value.template get<double>();
        if (n == 1) {
            return true;
        }
        if (n == 0) {
            return false;
        }
    }
    return std::nullopt;
}

template <class J>
std::optional<bool> boolean(const J& object, std::string_view key) {
    const J* value = member(object, key);
    return value ? asBoolean(*value) : std::nullopt;
}

template <class J>
std::optional<double> number(const J& object, std::string_view key) {
    const J* value = member(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (value->is_number()) {
        return value->template get<double>();
    }
    if (value->is_boolean()) {
        return value->template get<bool>() ? 1.0 : 0.0;
    }
    return std::nullopt;
}

template <class J>
std::optional<J> object(const J& object, std::string_view key) {
    const J* value = member(object, key);
    if (!value || !value->is_object()) {
        return std::nullopt;
    }
    return *value;
}

template <class J>
std::optional<std::vector<J>> objects(const J& object, std::string_view key) {
    const J* value = member(object, key);
    if (!value || !value->is_array()) {
        return std::nullopt;
    }
    std::vector<J> out;
    out.reserve(value->size());
    for (const J& element : *value) {
        if (!element.is_object()) {
            return std::nullopt;
        }
        out.push_back(element);
    }
    return out;
}

#define TD_JSONREAD_FOR(J)                                                      \
    template const J* member(const J&, std::string_view);                       \
    template std::optional<std::string> string(const J&, std::string_view);     \
    template std::optional<bool> boolean(const J&, std::string_view);           \
    template std::optional<double> number(const J&, std::string_view);          \
    template std::optional<J> object(const J&, std::string_view);               \
    template std::optional<std::vector<J>> objects(const J&, std::string_view); \
    template std::optional<bool> asBoolean(const J&);
TD_JSONREAD_FOR(Json)
TD_JSONREAD_FOR(UntrustedJson)
#undef TD_JSONREAD_FOR

}  // namespace td::jsonread
