#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace td::app {

// The autostart entry that starts `executable` at login, with `icon` (a name or a file).
std::string loginItemText(const std::filesystem::path& executable, const std::string& icon);

// Writes the entry to `file` (replaced whole, so it always names the binary that runs now), unless
// the user switched it off there (Hidden=true, or X-GNOME-Autostart-enabled=false): that is kept.
// False, with the reason in `why`, when it could not be written.
bool registerLoginItem(const std::filesystem::path& file, const std::filesystem::path& executable,
                       const std::string& icon, std::string& why);

// Offers "Send to Phone" where the file managers offer actions on the files selected, for this
// user under `dataHome` ($XDG_DATA_HOME): a Nautilus script, a Dolphin service menu and a Thunar
// "Send To" entry, each running `executable send` on them. Each is written when missing or
// when it is still as written here (it keeps the line SEND_TO_PHONE_MARK), so that it names the
// binary that runs now; one the user edited (without that line) is theirs and kept. The paths
// of those that could not be written.
inline constexpr const char* SEND_TO_PHONE_MARK = "X-Tapdeck-Written=true";
std::vector<std::filesystem::path> offerSendToPhone(const std::filesystem::path& dataHome,
                                                    const std::filesystem::path& executable);

}  // namespace td::app
