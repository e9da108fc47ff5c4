#pragma once

#include <string>

namespace td::update {

// The agent's own version, as the build was configured; "0" when it has none.
std::string currentVersion();

}  // namespace td::update
