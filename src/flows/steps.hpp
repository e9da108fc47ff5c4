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
// Steps come as either kind of document: a flow to keep, in its member order, or one to run.
template <class J>
bool stepAllowed(const J& step, const StepHost& host);

// Checks the step again and runs it on the calling thread; false when refused or failed.
template <class J>
bool runStep(const J& step, const StepHost& host);

// The list of steps in a body member: an array whose every element is an object; anything else
// is the empty list.
template <class J>
std::vector<J> readSteps(const J& body);

// What a flow keeps of a step: its type, its value and a string label; anything else a body
// carried would only grow the configuration.
Json storedStep(const Json& step);

}  // namespace td::flows
