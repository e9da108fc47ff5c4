#pragma once

#include <string_view>

namespace td {

// An absolute URL whose scheme, in any case, is http or https.
bool isWebUrl(std::string_view text);

// An absolute https URL with a host and no user name or password in it.
bool isHttpsUrl(std::string_view text);

}  // namespace td
