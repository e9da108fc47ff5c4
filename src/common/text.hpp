#pragma once

#include <string>
#include <string_view>

namespace td {

// ASCII letters lowered; every other byte as it is (header names, host names, media types).
std::string asciiLowerCase(std::string_view text);

// Spaces and tabs removed from both ends (a header value's optional whitespace).
std::string_view trimmedSpaces(std::string_view text);

}  // namespace td
