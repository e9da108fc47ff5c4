#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace td {

// Standard base64 (RFC 4648, with padding).
std::string base64Encode(std::string_view bytes);

// The bytes, or nothing when the text is not canonical padded base64 (no blanks, no line
// breaks, a length that is a multiple of four).
std::optional<std::string> base64Decode(std::string_view text);

// The URL-safe alphabet ("-" and "_"), without padding (RFC 4648, section 5).
std::string base64UrlEncode(std::string_view bytes);
// The bytes, or nothing when the text is not unpadded base64url.
std::optional<std::string> base64UrlDecode(std::string_view text);

}  // namespace td
