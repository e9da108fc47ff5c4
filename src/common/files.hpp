#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace td {

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Replaces the file's content atomically: a temporary file beside it, created with exactly
// `mode` whatever the umask (so it is never readable by others, not even for a moment, when the
// mode says so), written, flushed to disk and renamed over the target. A crash leaves the old or
// the new file, never a torn one. False when any step fails (the target is then unchanged).
bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// What every file of the agent's own is made with: its owner's alone.
inline constexpr mode_t PRIVATE_FILE_MODE = 0600;
inline constexpr mode_t PRIVATE_FOLDER_MODE = 0700;

// Makes the folder (and its parents) when missing, and leaves it readable by its owner alone
// whatever the umask. False when it cannot be made.
bool makePrivateFolder(const std::filesystem::path& folder);

// Why the agent must not trust a folder it reads state or programs from, or nothing when it
// may: not a folder, another user's, or writable by others (who could replace the PIN or
// what it runs). A folder that does not exist is fine. `what` names it ("the support folder").
std::optional<std::string> untrustedFolderReason(const std::filesystem::path& folder,
                                                 std::string_view what);

}  // namespace td
