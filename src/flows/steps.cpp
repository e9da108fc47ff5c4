#include "flows/steps.hpp"

#include <algorithm>

#include "common/json_read.hpp"
#include "common/web_url.hpp"

namespace td::flows {

template <class J>
bool stepAllowed(const J& step, const StepHost& host) {
    const auto type = jsonread::string(step, "type");
    const auto value = jsonread::string(step, "value");
    if (!type || !value) {
        return false;
    }
    if (*type == "app") {
        return host.allowedApps().count(*value) > 0;
    }
    if (*type == "url") {
        return isWebUrl(*value);
    }
    if (*type == "shortcut") {
        const auto names = host.listShortcuts();
        return std::find(names.begin(), names.end(), *value) != names.end();
    }
    if (*type == "gesture") {
        return host.isGesture(*value);
    }
    return false;
}

template <class J>
bool runStep(const J& step, const StepHost& host) {
    if (!stepAllowed(step, host)) {
        return false;
    }
    const std::string type = step.at("type");
    const std::string value = step.at("value");
    if (type == "app") {
        return host.launchApp(value);
    }
    if (type == "url") {
        return host.openURL(value);
    }
    if (type == "shortcut") {
        return host.runShortcut(value);
    }
    return host.runGesture(value);
}

template <class J>
std::vector<J> readSteps(const J& body) {
    return jsonread::objects(body, "steps").value_or(std::vector<J>{});
}

Json storedStep(const Json& step) {
    Json kept{{"type", step.at("type")}, {"value", step.at("value")}};
    if (auto label = jsonread::string(step, "label")) {
        kept["label"] = *label;
    }
    return kept;
}

template bool stepAllowed(const Json&, const StepHost&);
template bool stepAllowed(const UntrustedJson&, const StepHost&);
template bool runStep(const Json&, const StepHost&);
template bool runStep(const UntrustedJson&, const StepHost&);
template std::vector<Json> readSteps(const Json&);
template std::vector<UntrustedJson> readSteps(const UntrustedJson&);

}  // namespace td::flows
