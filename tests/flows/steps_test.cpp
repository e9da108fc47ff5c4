#include "flows/steps.hpp"

#include <gtest/gtest.h>

namespace td::flows {
namespace {

// A host whose lists are fixed and whose actions record what ran.
struct RecordingHost {
    std::vector<std::string> ran;
    int shortcutListings = 0;
    StepHost host() {
        auto record = [this](std::string kind) {
            return [this, kind](const std::string& value) {
                ran.push_back(kind + ":" + value);
                return value != "fails";
            };
        };
        return {[] {
                    return std::set<std::string>{"Files", "fails"};
                },
                [this] {
                    ++shortcutListings;
                    return std::vector<std::string>{"Backup", "  spaced  "};
                },
                [](const std::string& id) { return id == "spotlight"; },
                record("app"),
                record("url"),
                record("shortcut"),
                record("gesture")};
    }
};

TEST(StepAllowed, OnlyWhatTheOwnerAllows) {
    RecordingHost recorder;
    const StepHost host = recorder.host();
    const std::vector<std::pair<Json, bool>> cases = {
        {{{"type", "app"}, {"value", "Files"}}, true},
        {{{"type", "app"}, {"value", "Terminal"}}, false},  // installed maybe, but no tile
        {{{"type", "App"}, {"value", "Files"}}, false},
        {{{"type", "app"}, {"value", 3}}, false},
        {{{"value", "Files"}}, false},
        {{{"type", "url"}, {"value", "HTTPS://example.com/x"}}, true},
        {{{"type", "url"}, {"value", "http://example.com"}, {"label", "Site"}}, true},
        {{{"type", "url"}, {"value", "ftp://example.com"}}, false},
        {{{"type", "url"}, {"value", "example.com"}}, false},
        {{{"type", "url"}, {"value", "javascript:alert(1)"}}, false},
        {{{"type", "url"}, {"value", "http://exa mple.com"}}, false},
        {{{"type", "shortcut"}, {"value", "Backup"}}, true},
        {{{"type", "shortcut"}, {"value", "  spaced  "}}, true},
        {{{"type", "shortcut"}, {"value", "Deleted"}}, false},
        {{{"type", "gesture"}, {"value", "spotlight"}}, true},
        {{{"type", "gesture"}, {"value", "SPOTLIGHT"}}, false},
        {{{"type", "script"}, {"value", "rm -rf"}}, false},
        {Json::array(), false},
    };
    for (const auto& [step, allowed] : cases) {
        EXPECT_EQ(stepAllowed(step, host), allowed) << step.dump();
    }
    EXPECT_TRUE(recorder.ran.empty());
}

TEST(RunStep, ChecksAgainThenRunsTheAction) {
    RecordingHost recorder;
    const StepHost host = recorder.host();
    EXPECT_TRUE(runStep({{"type", "app"}, {"value", "Files"}}, host));
    EXPECT_TRUE(runStep({{"type", "shortcut"}, {"value", "Backup"}}, host));
    EXPECT_FALSE(runStep({{"type", "app"}, {"value", "fails"}}, host));
    EXPECT_FALSE(runStep({{"type", "app"}, {"value", "Terminal"}}, host));
    EXPECT_FALSE(runStep({{"type", "url"}, {"value", "file:///etc/passwd"}}, host));
    EXPECT_EQ(recorder.ran,
              (std::vector<std::string>{"app:Files", "shortcut:Backup", "app:fails"}));
    EXPECT_EQ(recorder.shortcutListings, 1);  // listed afresh at each check
}

TEST(ReadSteps, AnArrayOfObjectsOrNothing) {
    EXPECT_EQ(readSteps({{"steps", {{{"type", "url"}}}}}).size(), 1u);
    EXPECT_TRUE(readSteps({{"steps", {{{"type", "url"}}, "x"}}}).empty());
    EXPECT_TRUE(readSteps({{"steps", "x"}}).empty());
    EXPECT_TRUE(readSteps(Json::object()).empty());
}

}  // namespace
}  // namespace td::flows
