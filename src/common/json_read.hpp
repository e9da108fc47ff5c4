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
namespace td::jsonread {

// The member, or nullptr when `object` is not an object or has no such member.
const Json* member(const Json& object, std::string_view key);

std::optional<std::string> string(const Json& object, std::string_view key);
std::optional<bool> boolean(const Json& object, std::string_view key);
std::optional<double> number(const Json& object, std::string_view key);
// An object member.
std::optional<Json> object(const Json& object, std::string_view key);
// An array member whose every element is an object; one other element makes it absent.
std::optional<std::vector<Json>> objects(const Json& object, std::string_view key);

// A value read as a boolean by the rule above (true, false, 1 or 0).
std::optional<bool> asBoolean(const Json& value);

}  // namespace td::jsonread
