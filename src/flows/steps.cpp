#include "flows/steps.hpp"

#include <algorithm>

#include "common/json_read.hpp"
#include "common/web_url.hpp"

namespace td::flows {

bool stepAllowed(const Json& step, const StepHost& host) {
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

bool runStep(const Json& step, const StepHost& host) {
    if (!stepAllowed(step, host)) {
        return false;
    }
    const std::string type = step["type"];
    const std::string value = step["value"];
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

std::vector<Json> readSteps(const Json& body) {
    return jsonread::objects(body, "steps").value_or(std::vector<Json>{});
}

}  // namespace td::flows
