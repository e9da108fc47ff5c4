#pragma once

#include <filesystem>
#include <optional>
#include <string>

// What the process checks and sets once, before the agent starts.
namespace td::app {

// Why the agent must not run on this support folder, or nothing when it may: a folder that
// another user can write would let them replace the state (and with it the PIN and tokens),
// and in a Shortcuts folder they could put programs that the owner's phone then runs. A folder
// that does not exist yet is fine; the support folder is made private.
std::optional<std::string> supportFolderProblem(const std::filesystem::path& folder);

// Raises the soft limit on open descriptors to the hard one, so that connections are bounded
// by the agent's own cap rather than by an early "too many open files".
void raiseDescriptorLimit();

}  // namespace td::app
