#pragma once

#include <string>

namespace td {

// The relay service's host (and optional port): TD_RELAY_HOST, else the product's own.
std::string relayHost();

// The relay's phone page, "https://HOST/phone/"; the relay identifier is appended directly.
std::string relayPhonePageUrl();

}  // namespace td
