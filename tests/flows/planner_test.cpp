#include "flows/planner.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace td::flows {
namespace {

using Done = std::function<void(std::optional<std::string>)>;

StepHost fixedHost() {
    StepHost host;  // planning only checks steps; it never runs them
    host.allowedApps = [] { return std::set<std::string>{"Zoom", "Files", "calculator"}; };
    host.listShortcuts = [] { return std::vector<std::string>{}; };
    const auto allowApps = [host](const std::string& name) {
        return host.allowedApps().count(name) > 0;
    };
    const auto never = [](const std::string&) { return false; };
    host.kinds["app"] = {allowApps, never};
    host.kinds["url"] = {[](const std::string& url) { return url.starts_with("https://"); }, never};
    host.kinds["gesture"] = {
        [](const std::string& id) { return id == "spotlight" || id == "minimize"; }, never};
    return host;
}

// A reply of the Messages API carrying `text` in its first text block.
std::string reply(const std::string& text) {
    return dumpCompact({{"content", {{{"type", "text"}, {"text", text}}}}});
}

TEST(PlanReply, TheObjectBetweenTheFirstAndLastBraceMinusRefusedSteps) {
    const Json planFailed = {{"ok", false}, {"error", "plan_failed"}};
    const Json parseFailed = {{"ok", false}, {"error", "parse_failed"}};
    const Json eight(8, {{"type", "url"}, {"value", "https://a.b/"}});  // no cap at six
    const std::vector<std::pair<std::optional<std::string>, Json>> cases = {
        {reply("Sure!\n```json\n{\"steps\":[{\"type\":\"app\",\"value\":\"Files\",\"x\":1}]}\n```"),
         {{"ok", true}, {"steps", {{{"type", "app"}, {"value", "Files"}, {"x", 1}}}}}},
        {reply(R"({"steps":[{"type":"app","value":"Zsh"},{"type":"gesture","value":"minimize"}]})"),
         {{"ok", true}, {"steps", {{{"type", "gesture"}, {"value", "minimize"}}}}}},
        {reply(dumpCompact({{"steps", eight}})), {{"ok", true}, {"steps", eight}}},
        {reply(R"({"steps":[]} and {"steps":[]})"), parseFailed},
        {reply("no braces here"), parseFailed},
        {reply("} before {"), parseFailed},
        {reply(R"({"steps":"none"})"), parseFailed},
        {reply(R"({"steps":[{"type":"app","value":"Files"},3]})"), parseFailed},
        {R"({"content":[{"type":"tool_use"},{"type":"text","text":"{\"steps\":[]}"}]})",
         {{"ok", true}, {"steps", Json::array()}}},
        {R"({"type":"error","error":{"type":"authentication_error"}})", planFailed},
        {R"({"content":[{"type":"image"}]})", planFailed},
        {"<html>502</html>", planFailed},
        {std::nullopt, planFailed},
    };
    for (const auto& [body, result] : cases) {
        EXPECT_EQ(interpretPlanReply(body, fixedHost()), result) << body.value_or("(no body)");
    }
}

TEST(PlanWithClaude, AsksForTheKeyEachTimeAndSendsTheExactRequest) {
    std::string key;
    PlanRequest seen;
    Done answer;
    const PlanTransport transport = [&](PlanRequest request, Done done) {
        seen = std::move(request);
        answer = std::move(done);
    };
    auto planner = std::make_unique<Planner>(
        Planner{fixedHost(), {"spotlight", "minimize"}, transport, "https://api.example", nullptr});
    std::optional<Json> result;
    const auto plan = [&](const std::string& intent) {
        result.reset();
        planWithClaude(intent, *planner, [&result](Json r) { result = std::move(r); });
    };
    plan("open files");
    EXPECT_EQ(result, (Json{{"ok", false}, {"error", "no_key"}}));
    planner->apiKey = [&key] { return key; };
    plan("open files");
    EXPECT_EQ(result, (Json{{"ok", false}, {"error", "no_key"}}));
    EXPECT_EQ(seen.url, "");  // nothing sent

    key = "sk-test";
    plan("");
    EXPECT_EQ(seen.url, "https://api.example/v1/messages");
    EXPECT_EQ(seen.headers, (std::vector<std::pair<std::string, std::string>>{
                                {"x-api-key", "sk-test"},
                                {"anthropic-version", "2023-06-01"},
                                {"content-type", "application/json"}}));
    EXPECT_EQ(
        seen.body,
        R"({"model":"claude-opus-4-8","max_tokens":1024,"system":"You plan a short, ordered )"
        R"(sequence of Mac actions from the user's intent. Reply with ONLY a JSON object of the )"
        R"(form {\"steps\":[{\"type\":\"app|url|shortcut|gesture\",\"value\":\"...\",\"label\":)"
        R"(\"...\"}]}.\nValid apps: Files, Zoom, calculator.\nValid shortcuts: .\nValid )"
        R"(gestures: spotlight, minimize.\nFor \"url\" steps, value is a full https URL. Only )"
        R"(use items from those lists. Max 6 steps.","messages":[{"role":"user","content":""}]})");
    EXPECT_FALSE(result);  // nothing until the reply, which may come after the planner is gone
    planner.reset();
    answer(reply(R"({"steps":[{"type":"app","value":"Zoom"}]})"));
    EXPECT_EQ(result, (Json{{"ok", true}, {"steps", {{{"type", "app"}, {"value", "Zoom"}}}}}));
}

}  // namespace
}  // namespace td::flows
