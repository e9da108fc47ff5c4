#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace td {

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// Replaces the file's content atomically: a temporary file beside it, created with `mode`
// (so it is never readable by others, not even for a moment, when the mode says so), written,
// flushed to disk and renamed over the target. A crash leaves the old or the new file, never a
// torn one. False when any step fails (the target is then unchanged).
bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

}  // namespace td
