#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace td::host {

// The PRETTY_HOSTNAME of an /etc/machine-info text (its last assignment, one layer of quotes
// removed), or nothing when it is absent or empty.
std::optional<std::string> prettyHostnameIn(std::string_view machineInfo);

}  // namespace td::host
