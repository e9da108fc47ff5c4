#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace td::host {

// The user's Shortcuts are the executable files in one folder (<support>/shortcuts): their
// names, sorted. A folder or a file that another user could write holds none: what another
// account put there must never run as the owner.
std::vector<std::string> listShortcuts(const std::filesystem::path& folder);

// Starts one without waiting; true when it started. A name holding "/" or starting with "."
// is refused, so nothing outside the folder can be run.
bool runShortcut(const std::filesystem::path& folder, const std::string& name);

}  // namespace td::host
