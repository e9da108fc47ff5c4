#include "flows/planner.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace td::flows {
namespace {

StepHost fixedHost() {
    auto noop = [](const std::string&) { return true; };
    return {[] {
                return std::set<std::string>{"Zoom", "Files", "calculator"};
            },
            [] { return std::vector<std::string>{"Backup"}; },
            [](const std::string& id) { return id == "spotlight" || id == "minimize"; },
            noop,
            noop,
            noop,
            noop};
}

// A reply of the Messages API carrying `text` in its first text block.
std::string reply(const std::string& text) {
    return dumpCompact({{"content", {{{"type", "text"}, {"text", text}}}}});
}

TEST(PlanPrompt, ListsExactlyWhatIsAllowed) {
    EXPECT_EQ(buildSystemPrompt({"Files", "Zoom"}, {"Backup", "Mail it"}, {"spotlight"}),
              "You plan a short, ordered sequence of Mac actions from the user's intent. Reply "
              "with ONLY a JSON object of the form "
              "{\"steps\":[{\"type\":\"app|url|shortcut|gesture\",\"value\":\"...\",\"label\":"
              "\"...\"}]}.\nValid apps: Files, Zoom.\nValid shortcuts: Backup, Mail it.\nValid "
              "gestures: spotlight.\nFor \"url\" steps, value is a full https URL. Only use items "
              "from those lists. Max 6 steps.");
    const std::string empty = buildSystemPrompt({}, {}, {"x"});
    EXPECT_NE(empty.find("Valid apps: .\nValid shortcuts: .\n"), std::string::npos);
    EXPECT_EQ(
        dumpCompact(buildPlanRequestBody("S", "open files")),
        R"({"model":"claude-opus-4-8","max_tokens":1024,"system":"S","messages":[{"role":"user","content":"open files"}]})");
}

TEST(PlanReply, TheObjectBetweenTheFirstAndLastBraceMinusRefusedSteps) {
    const StepHost host = fixedHost();
    struct Case {
        std::optional<std::string> body;
        Json result;
    };
    const Json ok = {{"ok", true}};
    const Json planFailed = {{"ok", false}, {"error", "plan_failed"}};
    const Json parseFailed = {{"ok", false}, {"error", "parse_failed"}};
    const std::vector<Case> cases = {
        {reply("Sure!\n```json\n{\"steps\":[{\"type\":\"app\",\"value\":\"Files\",\"extra\":1}]}\n`"
               "``"),
         {{"ok", true}, {"steps", {{{"type", "app"}, {"value", "Files"}, {"extra", 1}}}}}},
        {reply(
             R"({"steps":[{"type":"app","value":"Terminal"},{"type":"gesture","value":"spotlight"}]})"),
         {{"ok", true}, {"steps", {{{"type", "gesture"}, {"value", "spotlight"}}}}}},
        {reply(R"({"steps":[{"type":"app","value":"Terminal"}]})"),
         {{"ok", true}, {"steps", Json::array()}}},
        {reply(R"({"steps":[]} and {"steps":[]})"), parseFailed},
        {reply("no braces here"), parseFailed},
        {reply("} before {"), parseFailed},
        {reply(R"({"steps":"none"})"), parseFailed},
        {reply(R"({"steps":[{"type":"app","value":"Files"},3]})"), parseFailed},
        {dumpCompact({{"content",
                       {{{"type", "tool_use"}}, {{"type", "text"}, {"text", R"({"steps":[]})"}}}}}),
         {{"ok", true}, {"steps", Json::array()}}},
        {R"({"type":"error","error":{"type":"authentication_error"}})", planFailed},
        {dumpCompact({{"content", {{{"type", "image"}}}}}), planFailed},
        {"<html>502</html>", planFailed},
        {std::nullopt, planFailed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(interpretPlanReply(c.body, host), c.result) << c.body.value_or("(no body)");
    }
    Json eight = Json::array();
    for (int i = 0; i < 8; ++i) {
        eight.push_back({{"type", "url"}, {"value", "https://example.com/" + std::to_string(i)}});
    }
    EXPECT_EQ(interpretPlanReply(reply(dumpCompact({{"steps", eight}})), host)["steps"].size(), 8u);
}

TEST(PlanWithClaude, NoKeyAnswersAtOnceAndSendsNothing) {
    int sent = 0;
    const Planner planner{
        fixedHost(),
        {"spotlight"},
        [&sent](PlanRequest, std::function<void(std::optional<std::string>)>) { ++sent; },
        "https://api.example"};
    for (const char* key : {static_cast<const char*>(nullptr), ""}) {
        key ? ::setenv("ANTHROPIC_API_KEY", key, 1) : ::unsetenv("ANTHROPIC_API_KEY");
        std::optional<Json> result;
        planWithClaude("open files", planner, [&result](Json r) { result = std::move(r); });
        EXPECT_EQ(result, (Json{{"ok", false}, {"error", "no_key"}}));
    }
    EXPECT_EQ(sent, 0);
}

TEST(PlanWithClaude, SendsTheRequestAndAnswersFromTheReply) {
    ::setenv("ANTHROPIC_API_KEY", "sk-test", 1);
    PlanRequest seen;
    std::function<void(std::optional<std::string>)> answer;
    const Planner planner{
        fixedHost(),
        {"spotlight", "minimize"},
        [&](PlanRequest request, std::function<void(std::optional<std::string>)> done) {
            seen = std::move(request);
            answer = std::move(done);
        },
        "https://api.example"};
    std::optional<Json> result;
    planWithClaude("", planner, [&result](Json r) { result = std::move(r); });
    EXPECT_FALSE(result);  // nothing until the reply
    EXPECT_EQ(seen.url, "https://api.example/v1/messages");
    EXPECT_EQ(seen.headers, (std::vector<std::pair<std::string, std::string>>{
                                {"x-api-key", "sk-test"},
                                {"anthropic-version", "2023-06-01"},
                                {"content-type", "application/json"}}));
    const Json body = Json::parse(seen.body);
    EXPECT_EQ(body["messages"][0]["content"], "");
    EXPECT_NE(body["system"].get<std::string>().find("Valid apps: Files, Zoom, calculator.\n"),
              std::string::npos);
    EXPECT_NE(body["system"].get<std::string>().find("Valid gestures: spotlight, minimize."),
              std::string::npos);
    std::thread([&answer] {
        answer(reply(R"({"steps":[{"type":"shortcut","value":"Backup"}]})"));
    }).join();
    EXPECT_EQ(result,
              (Json{{"ok", true}, {"steps", {{{"type", "shortcut"}, {"value", "Backup"}}}}}));
}

}  // namespace
}  // namespace td::flows
