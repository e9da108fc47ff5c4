#pragma once

#include <optional>

#include "common/settings.hpp"

namespace td::app {

// Runs the agent with its desktop shell (tray, control panel, PIN dialog) until SIGINT, SIGTERM
// or "Quit Tapdeck"; returns the exit status, or nothing when the shell cannot start here (then
// the caller runs headless).
std::optional<int> runDesktop(const Settings& settings);

}  // namespace td::app
