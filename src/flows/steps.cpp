#include "flows/steps.hpp"

#include <algorithm>

#include "common/json_read.hpp"

namespace td::flows {

namespace {

// The kind of a step whose type and value are strings; nothing otherwise.
template <class J>
const StepKind* kindOf(const J& step, const StepHost& host, std::string& value) {
    const auto type = jsonread::string(step, "type");
    const auto read = jsonread::string(step, "value");
    if (!type || !read) {
        return nullptr;
    }
    const auto kind = host.kinds.find(*type);
    if (kind == host.kinds.end()) {
        return nullptr;
    }
    value = *read;
    return &kind->second;
}

}  // namespace

template <class J>
bool stepAllowed(const J& step, const StepHost& host) {
    std::string value;
    const StepKind* kind = kindOf(step, host, value);
    return kind && kind->allowed(value);
}

template <class J>
bool runStep(const J& step, const StepHost& host) {
    std::string value;
    const StepKind* kind = kindOf(step, host, value);
    return kind && kind->allowed(value) && kind->run(value);
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
