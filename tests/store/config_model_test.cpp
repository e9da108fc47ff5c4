#include "store/config_model.hpp"

#include <gtest/gtest.h>

namespace td::store {
namespace {

const Json PAGE = {{"name", "Mine"}, {"icon", "x"}, {"tiles", Json::array()}};

TEST(Sanitize, RepairsWhatIsMissingAndKeepsTheRest) {
    struct Case {
        Json in, out;
    };
    const Json defaults = defaultSettings();
    const std::vector<Case> cases = {
        {Json::object(), {{"pages", Json::array()}, {"settings", defaults}}},
        // An exported document is unwrapped; its outer members go.
        {{{"config", {{"pages", {PAGE}}, {"settings", {{"columns", 3}}}}}, {"version", "x"}},
         {{"pages", {PAGE}}, {"settings", {{"columns", 3}}}}},
        // ... but not when the outer document has pages of its own.
        {{{"config", {{"pages", {PAGE}}}}, {"pages", {PAGE, PAGE}}, {"settings", defaults}},
         {{"pages", {PAGE, PAGE}}, {"settings", defaults}}},
        {{{"config", {{"pages", Json::array()}}}, {"pages", {PAGE}}},
         {{"pages", {PAGE}}, {"settings", defaults}}},
        {{{"pages", "oops"}, {"settings", Json::array()}},
         {{"pages", Json::array()}, {"settings", defaults}}},
        // A present settings object is never completed from the defaults.
        {{{"pages", {1, "two"}}, {"settings", {{"relayEnabled", true}}}, {"extra", 7}},
         {{"pages", {1, "two"}}, {"settings", {{"relayEnabled", true}}}, {"extra", 7}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sanitize(c.in), c.out) << c.in.dump();
    }
    EXPECT_EQ(dumpCompact(defaults), R"({"columns":4,"iconScale":1.12,"labels":true})");
}

TEST(AllowedApps, CollectsAppTilesAcrossPages) {
    const Json config = {
        {"pages",
         {{{"tiles",
            {{{"type", "app"}, {"value", "Firefox"}},
             {{"type", "app"}, {"value", 3}},
             {{"type", "url"}, {"value", "Files"}}}}},
          {{"tiles",
            {{{"type", "app"}, {"value", "Firefox"}}, {{"type", "app"}, {"value", "Files"}}}}},
          {{"name", "no tiles"}}}}};
    EXPECT_EQ(allowedAppsIn(config), (std::set<std::string>{"Firefox", "Files"}));
    EXPECT_TRUE(allowedAppsIn({{"pages", {PAGE, "not a page"}}}).empty());
    EXPECT_TRUE(allowedAppsIn(Json::object()).empty());
}

TEST(RelayEnabled, ReadsBooleansAndOneOrZero) {
    const std::vector<std::pair<Json, bool>> cases = {
        {true, true}, {1, true},  {1.0, true},     {false, false},
        {0, false},   {2, false}, {"true", false}, {nullptr, false},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(relayEnabledIn({{"settings", {{"relayEnabled", value}}}}), expected)
            << value.dump();
    }
    EXPECT_FALSE(relayEnabledIn({{"settings", "on"}}));
}

TEST(Flows, AddAndRemoveOnlyTouchTheFlowsPage) {
    Json config = {{"pages", {{{"name", "Apps"}, {"tiles", {{{"type", "app"}, {"label", "Go"}}}}}}},
                   {"settings", Json::object()}};
    const Json steps = {{{"type", "url"}, {"value", "https://example.com"}}};
    addFlowTo(config, "Go", "\xE2\x9A\xA1", steps);
    addFlowTo(config, "Go", "x", steps);
    ASSERT_EQ(config["pages"].size(), 2u);
    const Json& flows = config["pages"][1];
    EXPECT_EQ(flows["name"], "Flows");
    EXPECT_EQ(flows["icon"], "\xE2\x9A\xA1");
    ASSERT_EQ(flows["tiles"].size(), 2u);
    EXPECT_EQ(
        flows["tiles"][0],
        (Json{{"type", "flow"}, {"label", "Go"}, {"emoji", "\xE2\x9A\xA1"}, {"steps", steps}}));
    EXPECT_EQ(flows["tiles"][1]["emoji"], "x");

    EXPECT_TRUE(removeFlowFrom(config, "Go"));
    EXPECT_TRUE(config["pages"][1]["tiles"].empty());
    EXPECT_EQ(config["pages"][0]["tiles"].size(), 1u);  // the app tile labelled Go stays

    Json noPages = {{"settings", Json::object()}};
    EXPECT_FALSE(removeFlowFrom(noPages, "Go"));
    EXPECT_EQ(noPages, (Json{{"settings", Json::object()}}));
}

TEST(Flows, ElementsThatAreNotObjectsAreKept) {
    Json config = {{"pages", {"stray", {{"name", "Flows"}, {"tiles", {"odd", {{"label", "A"}}}}}}}};
    addFlowTo(config, "B", "b", Json::array());
    EXPECT_EQ(config["pages"][0], "stray");
    EXPECT_EQ(config["pages"][1]["tiles"].size(), 3u);
    removeFlowFrom(config, "A");
    EXPECT_EQ(config["pages"][1]["tiles"][0], "odd");
    EXPECT_EQ(config["pages"][1]["tiles"][1]["label"], "B");
}

}  // namespace
}  // namespace td::store
