#pragma once

#include "common/settings.hpp"

namespace td::app {

// Runs the agent without a GUI until SIGINT or SIGTERM; returns the exit status.
int runHeadless(const Settings& settings);

}  // namespace td::app
