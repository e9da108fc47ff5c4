#include "flows/steps.hpp"

#include <gtest/gtest.h>

namespace td::flows {
namespace {

TEST(Steps, OnlyWhatTheOwnerAllowsNowIsRunThroughItsOwnAction) {
    std::vector<std::string> ran, shortcuts = {"Backup", "  spaced  "};
    const auto record = [&ran](std::string kind) {
        return [&ran, kind](const std::string& value) {
            ran.push_back(kind + ":" + value);
            return value != "fails";
        };
    };
    StepHost host;
    host.allowedApps = [] { return std::set<std::string>{"Files", "fails"}; };
    host.listShortcuts = [&shortcuts] { return shortcuts; };
    host.isGesture = [](const std::string& id) { return id == "spotlight"; };
    host.launchApp = record("app");
    host.openURL = record("url");
    host.runShortcut = record("shortcut");
    host.runGesture = record("gesture");
    // An app needs a tile (installed is not enough); a web address needs http or https.
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"app", "Files", true},           {"app", "fails", true},
        {"app", "Terminal", false},       {"App", "Files", false},
        {"url", "HTTPS://a.b/x", true},   {"url", "http://a.b", true},
        {"url", "ftp://a.b", false},      {"url", "a.b", false},
        {"url", "javascript:f()", false}, {"url", "http://a b", false},
        {"url", "file:///etc", false},    {"shortcut", "Backup", true},
        {"shortcut", "  spaced  ", true}, {"shortcut", "Deleted", false},
        {"gesture", "spotlight", true},   {"gesture", "SPOTLIGHT", false},
        {"script", "rm -rf", false},
    };
    for (const auto& [type, value, allowed] : cases) {
        SCOPED_TRACE(type + " " + value);
        const Json step = {{"type", type}, {"value", value}};
        const std::size_t before = ran.size();
        EXPECT_EQ(stepAllowed(step, host), allowed);
        EXPECT_EQ(runStep(step, host), allowed && value != "fails");
        EXPECT_EQ(ran.size(), before + (allowed ? 1 : 0));
        if (allowed) {
            EXPECT_EQ(ran.back(), type + ":" + value);
        }
    }
    shortcuts.clear();  // Shortcuts are listed afresh at each check
    EXPECT_FALSE(stepAllowed(Json{{"type", "shortcut"}, {"value", "Backup"}}, host));
    for (const Json& odd :
         {Json{{"type", "app"}, {"value", 3}}, Json{{"value", "Files"}}, Json::array()}) {
        EXPECT_FALSE(stepAllowed(odd, host) || runStep(odd, host)) << odd.dump();
    }
}

TEST(ReadSteps, AnArrayOfObjectsOrNothing) {
    EXPECT_EQ(readSteps(Json{{"steps", {{{"type", "url"}}}}}).size(), 1u);
    EXPECT_TRUE(readSteps(Json{{"steps", {{{"type", "url"}}, "x"}}}).empty());
    EXPECT_TRUE(readSteps(Json{{"steps", "x"}}).empty());
    EXPECT_TRUE(readSteps(Json::object()).empty());
}

}  // namespace
}  // namespace td::flows
