#pragma once

#include <string_view>

namespace td {

// An absolute URL whose scheme, in any case, is http or https.
bool isWebUrl(std::string_view text);

// An absolute URL whose scheme is https.
bool isHttpsUrl(std::string_view text);

}  // namespace td
