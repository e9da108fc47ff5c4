#pragma once

#include <filesystem>

namespace td {

// The folder that holds public/ and the shipped config.json: TD_RESOURCES when set, else the
// folder beside the binary (build tree) or ../share/tapdeck (install tree), else ".".
std::filesystem::path resourcesDir();

}  // namespace td
