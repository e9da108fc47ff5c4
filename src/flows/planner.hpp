#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "flows/steps.hpp"

// Turns a sentence of intent into checked steps by asking the Anthropic Messages API. Whatever
// the model writes, no step that `stepAllowed` refuses comes back.
namespace td::flows {

// One HTTPS exchange as the planner needs it; `done` gets the body, or nothing when the
// transport failed (no connection, time-out), exactly once.
struct PlanRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};
using PlanTransport =
    std::function<void(PlanRequest, std::function<void(std::optional<std::string>)> done)>;

struct Planner {
    StepHost steps;
    std::vector<std::string> gestureIds;
    PlanTransport transport;
    std::string baseUrl;  // scheme and host of the Messages API, without a trailing slash
    // The API key, asked for at every plan; empty when there is none.
    std::function<std::string()> apiKey;
};

// The result object: {"ok": true, "steps": [...]} or {"ok": false, "error": "no_key" |
// "plan_failed" | "parse_failed"}. Called exactly once: at once (no key) or from the transport.
using PlanCompletion = std::function<void(Json result)>;

// Asks for the key at every call; without one answers "no_key" before returning.
void planWithClaude(const std::string& intent, const Planner& planner, PlanCompletion completion);

std::string buildSystemPrompt(const std::vector<std::string>& apps,
                              const std::vector<std::string>& shortcuts,
                              const std::vector<std::string>& gestures);
Json buildPlanRequestBody(const std::string& systemPrompt, const std::string& intent);
// The result for a reply body (nothing when the transport failed).
Json interpretPlanReply(const std::optional<std::string>& body, const StepHost& steps);

}  // namespace td::flows
