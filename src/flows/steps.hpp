#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/json.hpp"

// A step is {"type", "value", "label"?}: launch an app, open a web address, run a Shortcut,
// perform a gesture, press keys. Every step from outside passes `stepAllowed` before it is
// stored or run.
namespace td::flows {

// What one type of step may do here, and doing it; the API wires these to its action kinds.
struct StepKind {
    std::function<bool(const std::string& value)> allowed;
    std::function<bool(const std::string& value)> run;
};

// What steps are checked against and act through.
struct StepHost {
    // The planner tells the model which apps and Shortcuts there are.
    std::function<std::set<std::string>()> allowedApps;
    std::function<std::vector<std::string>()> listShortcuts;
    // Each type of step there is; any other type is refused.
    std::map<std::string, StepKind, std::less<>> kinds;
};

// Only a type of step there is, with a value its kind allows now (an app with an app tile, a web
// address, a Shortcut that exists, a gesture of the table...).
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
