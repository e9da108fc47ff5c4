#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/json.hpp"

// A step is {"type", "value", "label"?}: launch an app, open a web address, run a Shortcut or
// perform a gesture. Every step from outside passes `stepAllowed` before it is stored or run.
namespace td::flows {

// What steps are checked against and act through; the API wires these to the Store and the
// host actions.
struct StepHost {
    std::function<std::set<std::string>()> allowedApps;
    std::function<std::vector<std::string>()> listShortcuts;
    std::function<bool(const std::string&)> isGesture;
    std::function<bool(const std::string&)> launchApp;
    std::function<bool(const std::string&)> openURL;
    std::function<bool(const std::string&)> runShortcut;
    std::function<bool(const std::string&)> runGesture;
};

// Only what the owner already allows: apps with an app tile, web addresses, Shortcuts that
// exist now, gestures from the table.
bool stepAllowed(const Json& step, const StepHost& host);

// Checks the step again and runs it on the calling thread; false when refused or failed.
bool runStep(const Json& step, const StepHost& host);

// The list of steps in a body member: an array whose every element is an object; anything else
// is the empty list.
std::vector<Json> readSteps(const Json& body);

}  // namespace td::flows
