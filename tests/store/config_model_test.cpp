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
        // ... but not when the outer one has pages of its own, nor when the inner one has none.
        {{{"config", {{"pages", {PAGE}}}}, {"pages", {PAGE, PAGE}}, {"settings", defaults}},
         {{"pages", {PAGE, PAGE}}, {"settings", defaults}}},
        {{{"config", {{"pages", Json::array()}, {"settings", {{"columns", 3}}}}}},
         {{"pages", Json::array()}, {"settings", defaults}}},
        {{{"pages", "oops"}, {"settings", Json::array()}},
         {{"pages", Json::array()}, {"settings", defaults}}},
        // A present settings object is never completed from the defaults.
        {{{"pages", {1, "two"}}, {"settings", {{"relayEnabled", true}}}, {"extra", 7}},
         {{"pages", {1, "two"}}, {"settings", {{"relayEnabled", true}}}, {"extra", 7}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sanitize(c.in), c.out) << c.in.dump();
    }
}

TEST(ReadingTheDocument, AppTilesAcrossPagesAndTheRelaySetting) {
    const Json config = Json::parse(
        R"({"pages":[{"tiles":[{"type":"app","value":"Firefox"},{"type":"app","value":3},)"
        R"({"type":"url","value":"Notes"}]},{"tiles":[{"type":"app","value":"Files"}]},{}]})");
    EXPECT_EQ(allowedAppsIn(config), (std::set<std::string>{"Firefox", "Files"}));
    EXPECT_TRUE(allowedAppsIn({{"pages", {PAGE, "not a page"}}}).empty());

    const std::vector<std::pair<Json, bool>> relay = {{true, true}, {1, true},  {false, false},
                                                      {0, false},   {2, false}, {"true", false}};
    for (const auto& [value, enabled] : relay) {
        EXPECT_EQ(relayEnabledIn({{"settings", {{"relayEnabled", value}}}}), enabled) << value;
    }
    EXPECT_FALSE(relayEnabledIn({{"settings", "on"}}));
}

TEST(Flows, LiveOnTheFlowsPageAndLeaveEverythingElseAlone) {
    const Json apps = {{"name", "Apps"}, {"tiles", {{{"type", "app"}, {"label", "Go"}}}}};
    Json config = {{"pages", {"stray", apps}}};
    const Json steps = {{{"type", "url"}, {"value", "https://example.com"}}};
    addFlowTo(config, "Go", "x", steps);
    config["pages"][2]["tiles"].push_back("odd");
    addFlowTo(config, "Go", "x", steps);
    const Json flow = {{"type", "flow"}, {"label", "Go"}, {"emoji", "x"}, {"steps", steps}};
    const auto flowsPage = [](Json tiles) {
        return Json{{"name", "Flows"}, {"icon", "\xE2\x9A\xA1"}, {"tiles", std::move(tiles)}};
    };
    EXPECT_EQ(config["pages"], Json::array({"stray", apps, flowsPage({flow, "odd", flow})}));

    EXPECT_TRUE(removeFlowFrom(config, "Go"));  // the app tile labelled Go stays
    EXPECT_EQ(config["pages"], Json::array({"stray", apps, flowsPage({"odd"})}));

    Json noPages = {{"settings", Json::object()}};
    EXPECT_FALSE(removeFlowFrom(noPages, "Go"));
    EXPECT_EQ(noPages, (Json{{"settings", Json::object()}}));
}

}  // namespace
}  // namespace td::store
