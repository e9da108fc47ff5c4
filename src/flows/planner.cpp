#include "flows/planner.hpp"

#include "common/json_read.hpp"
#include "common/log.hpp"

namespace td::flows {
namespace {

constexpr const char* MODEL = "claude-opus-4-8";
constexpr int MAX_TOKENS = 1024;
constexpr const char* API_VERSION = "2023-06-01";
constexpr const char* MESSAGES_PATH = "/v1/messages";

constexpr const char* PROMPT_HEAD =
    "You plan a short, ordered sequence of Mac actions from the user's intent. Reply with ONLY a "
    "JSON object of the form "
    "{\"steps\":[{\"type\":\"app|url|shortcut|gesture\",\"value\":\"...\",\"label\":\"...\"}]}.\n"
    "Valid apps: ";
constexpr const char* PROMPT_TAIL =
    ".\nFor \"url\" steps, value is a full https URL. Only use items from those lists. Max 6 "
    "steps.";

Json failure(const char* code) {
    return Json{{"ok", false}, {"error", code}};
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out;
}

}  // namespace

std::string buildSystemPrompt(const std::vector<std::string>& apps,
                              const std::vector<std::string>& shortcuts,
                              const std::vector<std::string>& gestures) {
    return PROMPT_HEAD + joined(apps) + ".\nValid shortcuts: " + joined(shortcuts) +
           ".\nValid gestures: " + joined(gestures) + PROMPT_TAIL;
}

Json buildPlanRequestBody(const std::string& systemPrompt, const std::string& intent) {
    return Json{{"model", MODEL},
                {"max_tokens", MAX_TOKENS},
                {"system", systemPrompt},
                {"messages", Json::array({Json{{"role", "user"}, {"content", intent}}})}};
}

Json interpretPlanReply(const std::optional<std::string>& body, const StepHost& steps) {
    const auto reply = body ? parseJson(*body) : std::nullopt;
    const auto content = reply ? jsonread::objects(*reply, "content") : std::nullopt;
    if (!content) {
        TD_LOG(planner, body ? "the reply has no content" : "no reply from the service");
        return failure("plan_failed");
    }
    std::optional<std::string> text;
    for (const UntrustedJson& block : *content) {
        if ((text = jsonread::string(block, "text"))) {
            break;
        }
    }
    if (!text) {
        TD_LOG(planner, "the reply has no text");
        return failure("plan_failed");
    }
    const std::size_t first = text->find('{');
    const std::size_t last = text->rfind('}');
    if (first == std::string::npos || last == std::string::npos || last < first) {
        TD_LOG(planner, "the reply holds no JSON object");
        return failure("parse_failed");
    }
    // In the order the model wrote them: the steps may become a flow of the configuration.
    const auto plan = parseOrderedJson(std::string_view(*text).substr(first, last - first + 1));
    const auto proposed = plan ? jsonread::objects(*plan, "steps") : std::nullopt;
    if (!proposed) {
        return failure("parse_failed");
    }
    Json kept = Json::array();
    for (const Json& step : *proposed) {
        if (stepAllowed(step, steps)) {
            kept.push_back(step);
        }
    }
    return Json{{"ok", true}, {"steps", std::move(kept)}};
}

void planWithClaude(const std::string& intent, const Planner& planner, PlanCompletion completion) {
    const std::string key = planner.apiKey ? planner.apiKey() : std::string();
    if (key.empty()) {
        TD_LOG(planner, "no API key: nothing is sent");
        completion(failure("no_key"));
        return;
    }
    const auto allowed = planner.steps.allowedApps();  // a std::set: sorted by code point
    const std::vector<std::string> apps(allowed.begin(), allowed.end());
    const std::string prompt =
        buildSystemPrompt(apps, planner.steps.listShortcuts(), planner.gestureIds);
    PlanRequest request{planner.baseUrl + MESSAGES_PATH,
                        {{"x-api-key", key},
                         {"anthropic-version", API_VERSION},
                         {"content-type", "application/json"}},
                        dumpCompact(buildPlanRequestBody(prompt, intent))};
    planner.transport(
        std::move(request),
        [steps = planner.steps, completion = std::move(completion)](
            std::optional<std::string> body) { completion(interpretPlanReply(body, steps)); });
}

}  // namespace td::flows
