#include "flows/steps.hpp"

#include <gtest/gtest.h>

namespace td::flows {
namespace {

// A step runs through the kind its type names, only when that kind allows its value now (checked
// again at the run); any other type, or a step that is not a pair of strings, is refused.
TEST(Steps, RunThroughTheKindTheirTypeNamesWhenItAllowsTheValueNow) {
    std::vector<std::string> ran;
    bool allowing = true;
    StepHost host;
    host.kinds["app"] = {[&](const std::string& value) { return allowing && value != "no"; },
                         [&](const std::string& value) {
                             ran.push_back("app:" + value);
                             return value != "fails";
                         }};
    const std::vector<std::tuple<Json, bool, bool>> cases = {
        {{{"type", "app"}, {"value", "Files"}}, true, true},
        {{{"type", "app"}, {"value", "fails"}}, true, false},
        {{{"type", "app"}, {"value", "no"}}, false, false},
        {{{"type", "App"}, {"value", "Files"}}, false, false},
        {{{"type", "script"}, {"value", "rm -rf"}}, false, false},
        {{{"type", "app"}, {"value", 3}}, false, false},
        {{{"value", "Files"}}, false, false},
        {Json::array(), false, false},
    };
    for (const auto& [step, allowed, succeeds] : cases) {
        SCOPED_TRACE(step.dump());
        ran.clear();
        EXPECT_EQ(stepAllowed(step, host), allowed);
        EXPECT_EQ(runStep(step, host), succeeds);
        EXPECT_EQ(ran.size(), allowed ? 1u : 0u);
    }
    allowing = false;  // what was allowed when checked may be refused when run
    EXPECT_FALSE(runStep(Json{{"type", "app"}, {"value", "Files"}}, host));
}

TEST(ReadSteps, AnArrayOfObjectsOrNothing) {
    EXPECT_EQ(readSteps(Json{{"steps", {{{"type", "url"}}}}}).size(), 1u);
    EXPECT_TRUE(readSteps(Json{{"steps", {{{"type", "url"}}, "x"}}}).empty());
    EXPECT_TRUE(readSteps(Json{{"steps", "x"}}).empty());
    EXPECT_TRUE(readSteps(Json::object()).empty());
}

}  // namespace
}  // namespace td::flows
