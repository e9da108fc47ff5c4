#pragma once

#include "common/settings.hpp"
#include "host/platform.hpp"

namespace td::app {

// The agent's settings from its environment: TD_PORT, TD_SUPPORT, TD_RESOURCES, TD_RELAY_HOST,
// ANTHROPIC_BASE_URL, ANTHROPIC_API_KEY (asked for at every plan), TD_UPDATE_URL, TD_DEBUG, and
// the desktop session's own variables.
Settings settingsFromEnvironment(const host::EnvironmentLookup& environment);

// Looks variables up in this process's environment: the agent's one reader of it.
host::EnvironmentLookup processEnvironment();

}  // namespace td::app
