#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace td {

// Ordered, so that documents keep the member order they were written with.
using Json = nlohmann::ordered_json;

// Compact JSON text. Strings that are not valid UTF-8 (an app's name, say) have the bad bytes
// replaced instead of making the whole answer fail.
std::string dumpCompact(const Json& value);

// Documents from outside nest no deeper than this: copying and writing a document recurse, and
// a body nested 100,000 deep would overflow the stack; no document of ours needs more than 8.
inline constexpr int MAX_JSON_DEPTH = 64;

// True when no array or object in the text (read as JSON, strings skipped) lies deeper than
// `maxDepth`; cheap, and decided before anything is built.
bool nestsAtMost(std::string_view text, int maxDepth = MAX_JSON_DEPTH);

// The parsed document, or nothing when the text is not JSON or nests deeper than
// MAX_JSON_DEPTH.
std::optional<Json> parseJson(std::string_view text);

// The text as a JSON object; anything else (malformed text, an array, a scalar) is the empty
// object, so callers see missing members rather than an error.
Json parseObjectOrEmpty(std::string_view text);

}  // namespace td
