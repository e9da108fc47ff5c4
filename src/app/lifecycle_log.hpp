#pragma once

#include <string>

#include "app/agent.hpp"

namespace td::app {

// One line per lifecycle event on stdout, flushed at once so that a supervisor sees it
// immediately.
void logLine(const std::string& line);

// The events both modes log: listening (with the pairing banner, once), binding given up, an
// update, the relay coming and going.
AgentEvents loggedEvents();

}  // namespace td::app
