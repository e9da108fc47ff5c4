#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

// The one set of rules by which every subsystem reads members of JSON objects from outside
// (request bodies, stored files, replies): a member that is missing or of the wrong type is
// absent; where a boolean is read, the numbers 1 and 0 count as true and false; where a number
// is read, true and false count as 1 and 0.
// Each reads both kinds of document: `Json` (the configuration) and `UntrustedJson`.
namespace td::jsonread {

// The member, or nullptr when `object` is not an object or has no such member.
template <class J>
const J* member(const J& object, std::string_view key);

template <class J>
std::optional<std::string> string(const J& object, std::string_view key);
template <class J>
std::optional<bool> boolean(const J& object, std::string_view key);
template <class J>
std::optional<double> number(const J& object, std::string_view key);
// An object member.
template <class J>
std::optional<J> object(const J& object, std::string_view key);
// An array member whose every element is an object; one other element makes it absent.
template <class J>
std::optional<std::vector<J>> objects(const J& object, std::string_view key);

// A value read as a boolean by the rule above (true, false, 1 or 0).
template <class J>
std::optional<bool> asBoolean(const J& value);

}  // namespace td::jsonread
