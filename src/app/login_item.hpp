#pragma once

#include <filesystem>
#include <string>

namespace td::app {

// The autostart entry that starts `executable` at login, with `icon` (a name or a file).
std::string loginItemText(const std::filesystem::path& executable, const std::string& icon);

// Writes the entry to `file` (replaced whole, so it always names the binary that runs now), unless
// the user switched it off there (Hidden=true, or X-GNOME-Autostart-enabled=false): that is kept.
// False, with the reason in `why`, when it could not be written.
bool registerLoginItem(const std::filesystem::path& file, const std::filesystem::path& executable,
                       const std::string& icon, std::string& why);

}  // namespace td::app
