#pragma once

#include <nlohmann/json.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace td {

// What the agent writes (answers, envelopes, the saved configuration): members stay in the
// order they were put in. Finding a member scans them, so it is for documents of our own
// making, or read under the member bound below.
using Json = nlohmann::ordered_json;

// JSON read from outside (bodies, envelopes, replies, stored state): members in a tree, so
// adding or finding one costs log n however wide a hostile object is.
using UntrustedJson = nlohmann::json;

// Compact JSON text. Strings that are not valid UTF-8 (an app's name, say) have the bad bytes
// replaced instead of making the whole answer fail.
std::string dumpCompact(const Json& value);

// Documents from outside nest no deeper than this: copying and writing a document recurse, and
// a body nested 100,000 deep would overflow the stack; no document of ours needs more than 8.
inline constexpr int MAX_JSON_DEPTH = 64;
// Nor has any object of theirs more members than this; ours have a dozen at most. Reading in
// order costs the square of an object's width, so the bound keeps the configuration's reading
// in proportion to its size.
inline constexpr std::size_t MAX_JSON_MEMBERS = 256;

enum class JsonShape { fits, tooDeep, tooWide, tooMany };

// Whether the text (read as JSON, strings skipped) stays within MAX_JSON_DEPTH and
// MAX_JSON_MEMBERS, and holds at most `maxValues` arrays, objects, members and elements (for
// messages whose real form is a handful of values, so that a hostile one of nested arrays is
// refused before it costs a parse); one cheap pass, decided before anything is built.
JsonShape shapeOf(std::string_view text, std::size_t maxValues = SIZE_MAX);

// The parsed document, or nothing when the text is not JSON or its shape does not fit.
std::optional<UntrustedJson> parseJson(std::string_view text, std::size_t maxValues = SIZE_MAX);

// The same, with members kept in the order written: only for the configuration, whose order
// the user chose.
std::optional<Json> parseOrderedJson(std::string_view text);

// The text as a JSON object; anything else (malformed text, an array, a scalar) is the empty
// object, so callers see missing members rather than an error.
UntrustedJson parseObjectOrEmpty(std::string_view text);

}  // namespace td
