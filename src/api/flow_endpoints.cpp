#include "api/handlers.hpp"
#include "common/json_read.hpp"
#include "common/log.hpp"
#include "flows/planner.hpp"
#include "flows/steps.hpp"
#include "host/gestures.hpp"

namespace td::api::handlers {
namespace {

// Lets each step's effect (an app opening, a page loading) settle before the next one.
constexpr auto PAUSE_AFTER_STEP = std::chrono::milliseconds(400);
// Ample for any flow a person builds; a longer list is a way to hold a worker, not a plan.
constexpr std::size_t MAX_PLAN_STEPS = 32;
constexpr const char* DEFAULT_FLOW_LABEL = "Flow";
constexpr const char* DEFAULT_FLOW_EMOJI = "\xE2\x9A\xA1";  // ⚡

template <class J>
bool allAllowed(const std::vector<J>& steps, const flows::StepHost& host) {
    return std::all_of(steps.begin(), steps.end(),
                       [&host](const J& step) { return flows::stepAllowed(step, host); });
}

constexpr auto PLAN_TIMEOUT = std::chrono::seconds(30);

flows::PlanTransport transportThrough(net::HttpsClient& client, bool allowPlainHttp) {
    return [&client, allowPlainHttp](flows::PlanRequest request,
                                     std::function<void(std::optional<std::string>)> done) {
        net::HttpRequest http;
        http.method = "POST";
        http.url = std::move(request.url);
        http.headers = std::move(request.headers);
        http.body = std::move(request.body);
        http.timeout = PLAN_TIMEOUT;
        http.allowPlainHttp = allowPlainHttp;
        client.send(std::move(http), [done = std::move(done)](net::HttpResponse response) {
            done(response.delivered ? std::optional(std::move(response.body)) : std::nullopt);
        });
    };
}

}  // namespace

void plan(const ApiContext& context, const server::ConnectionPtr& connection,
          const Request& request) {
    const RemoteEndpoint& service = context.settings.planner;
    std::vector<std::string> gestures;
    for (const auto& [id, gesture] : host::GESTURES) {
        gestures.push_back(id);
    }
    const flows::Planner planner{stepHost(context), std::move(gestures),
                                 transportThrough(context.https, service.allowPlainHttp),
                                 service.url, context.settings.plannerKey};
    flows::planWithClaude(bodyString(request, "intent"), planner,
                          [connection](Json result) { connection->json(result); });
}

Response runSteps(const ApiContext& context, const std::vector<UntrustedJson>& steps,
                  bool pauseAfterLast) {
    if (steps.size() > MAX_PLAN_STEPS) {
        return server::jsonResponse({{"ok", false}, {"error", "Too many steps"}}, 400);
    }
    const auto host = stepHost(context);
    if (!allAllowed(steps, host)) {
        return server::jsonResponse({{"ok", false}, {"error", "Invalid step"}}, 400);
    }
    const auto slot = context.plans->enter();
    if (!slot) {
        return server::jsonResponse({{"ok", false}, {"error", "Too many plans running"}}, 429);
    }
    const auto deadline = std::chrono::steady_clock::now() + PlanRuns::MAX_RUN_TIME;
    std::size_t ran = 0;
    for (const UntrustedJson& step : steps) {
        flows::runStep(step, host);  // a failing step does not stop the run
        ++ran;
        if ((ran == steps.size() && !pauseAfterLast) ||
            !context.plans->pause(PAUSE_AFTER_STEP, deadline)) {
            break;
        }
    }
    if (ran < steps.size()) {
        TD_LOG(tools, "a plan was stopped after " + std::to_string(ran) + " of " +
                          std::to_string(steps.size()) + " steps");
        return server::jsonResponse({{"ok", false}, {"error", "Stopped"}, {"ran", ran}});
    }
    return server::jsonResponse({{"ok", true}, {"ran", ran}});
}

Response runPlan(const ApiContext& context, const Request& request) {
    return runSteps(context, flows::readSteps(server::bodyJSON(request)));
}

Response editFlows(const ApiContext& context, const Request& request) {
    // The flow joins the configuration, in the member order it was sent with.
    auto parsed = parseOrderedJson(request.body);
    const Json body = parsed && parsed->is_object() ? std::move(*parsed) : Json::object();
    if (request.method == "DELETE") {
        context.store.removeFlow(jsonread::string(body, "label").value_or(""));
        context.server.broadcastReload();
        return server::jsonResponse({{"ok", true}});
    }
    const auto steps = flows::readSteps(body);
    if (steps.empty() || steps.size() > MAX_PLAN_STEPS || !allAllowed(steps, stepHost(context))) {
        return server::jsonResponse({{"ok", false}, {"error", "Invalid flow"}}, 400);
    }
    Json kept = Json::array();
    for (const Json& step : steps) {
        kept.push_back(flows::storedStep(step));
    }
    if (!context.store.addFlow(jsonread::string(body, "label").value_or(DEFAULT_FLOW_LABEL),
                               jsonread::string(body, "emoji").value_or(DEFAULT_FLOW_EMOJI),
                               kept)) {
        return server::jsonResponse({{"ok", false}, {"error", "The configuration is full"}}, 413);
    }
    context.server.broadcastReload();
    return server::jsonResponse({{"ok", true}});
}

}  // namespace td::api::handlers
