#pragma once

#include <string_view>

namespace td {

// On every answer, from the agent and through the relay: no other site may frame our pages (a
// live PIN and a Save button under a stranger's page), and they load scripts, styles and data
// only from where they came from. Whole header lines, each ending in CR LF.
inline constexpr std::string_view PAGE_GUARD_HEADERS =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data: blob:; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'self'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

}  // namespace td
