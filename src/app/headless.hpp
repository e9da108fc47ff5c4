#pragma once

#include "common/settings.hpp"

namespace td::app {

// Runs the agent without a GUI until SIGINT or SIGTERM; returns the exit status.
// The caller must have blocked both signals in every thread (see `blockStopSignals`).
int runHeadless(const Settings& settings);

// Blocks SIGINT and SIGTERM so that threads started later inherit the mask and only the
// waiting main thread takes them.
void blockStopSignals();

}  // namespace td::app
