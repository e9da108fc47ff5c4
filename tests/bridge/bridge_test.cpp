#include "bridge/bridge.hpp"

#include <gtest/gtest.h>

#include "bridge/notification_text.hpp"

namespace td::bridge {
namespace {

TEST(NotificationText, IsPlainTextOfBoundedLengthWhateverTheMarkup) {
    const struct {
        std::string markup;
        std::size_t max;
        std::string shown;
    } cases[] = {
        {"<b>Build</b> <i>done</i> &amp; <a href=\"x\">green</a>", 100, "Build done & green"},
        {"3 < 4 and a<b> tag &lt;3 &#x41;&#66; &nope; &", 100, "3 < 4 and a tag <3 AB &nope; &"},
        // Direction overrides, controls and line breaks, written or as entities, are spaces:
        // no text reorders what the page shows around it.
        {"a\u202Eb&#x202E;c\nd\te&#7;", 100, "a b c d e "},
        {"&#0;&#xD800;&#x110000;", 100, "\uFFFD\uFFFD\uFFFD"},
        {"ééééé", 5, "ééééé"},
        {"éééééé", 5, "éééé…"},
        {"日本語のテキスト", 3, "日本…"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plainText(c.markup, c.max), c.shown) << c.markup;
    }
    // Texts of megabytes with a tag or an entity that never ends are read once, and only as
    // far as what is shown needs.
    for (const std::string run : {"<a", "&", "é<b"}) {
        std::string huge;
        while (huge.size() < 8'000'000) {
            huge += run;
        }
        const auto began = std::chrono::steady_clock::now();
        const std::string shown = plainText(huge, MAX_BODY_CHARACTERS);
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1)) << run;
        EXPECT_LE(shown.size(), MAX_BODY_CHARACTERS * 4);
    }
}

struct Told {
    std::vector<Json> messages;
    std::vector<std::function<void()>> later;

    Bridge::Links links() {
        Bridge::Links links;
        links.followDesktop = false;
        links.tell = [this](std::string message) {
            const auto data = message.find("data: ");
            messages.push_back(Json::parse(message.substr(data + 6)));
        };
        links.runLater = [this](std::chrono::milliseconds, std::function<void()> task) {
            later.push_back(std::move(task));
        };
        return links;
    }
    int notificationsOf(const std::string& app) const {
        return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const Json& m) {
            return m.contains("notification") && m["notification"]["app"] == app;
        }));
    }
};

Json choosing(bool on, std::vector<std::string> apps) {
    return {{"settings", {{"notifications", on}, {"notificationApps", apps}}}};
}

TEST(Bridge, TellsOnlyAllowedAppsWhileOnAndNoAppTakesTheOthersShare) {
    Told told;
    Bridge bridge(told.links());
    bridge.notificationSeen({"Mail", "New mail", "From Ann"});
    EXPECT_TRUE(told.messages.empty());
    EXPECT_TRUE(bridge.appsSeen().empty()) << "nothing is looked at while off";

    bridge.reconfigure(choosing(true, {"Mail", "Flood"}));
    bridge.notificationSeen({"Chat", "secret", "not allowed", ":1.5"});
    // One program floods from one connection, then from a hundred.
    for (int i = 0; i < 100; ++i) {
        bridge.notificationSeen({"Flood", "again", "", ":1.66"});
        bridge.notificationSeen({"Flood", "again", "", ":2." + std::to_string(i)});
    }
    bridge.notificationSeen({"Mail", "a<b and c>d", "<b>From</b> Ann", ":1.7"});
    EXPECT_EQ(told.notificationsOf("Chat"), 0);
    EXPECT_LE(told.notificationsOf("Flood"), 5);
    ASSERT_EQ(told.notificationsOf("Mail"), 1);
    EXPECT_EQ(told.messages.back()["notification"],
              Json({{"app", "Mail"}, {"summary", "a<b and c>d"}, {"body", "From Ann"}}));
    EXPECT_EQ(bridge.appsSeen(), (std::vector<std::string>{"Chat", "Flood", "Mail"}));

    // Names made up by the thousand are remembered to a bound, and all of them together are
    // told to one too.
    std::vector<std::string> many;
    for (int i = 0; i < 1000; ++i) {
        many.push_back("app" + std::to_string(i));
    }
    bridge.reconfigure(choosing(true, many));
    const auto before = told.messages.size();
    for (const auto& app : many) {
        bridge.notificationSeen({app, "hi", ""});
    }
    EXPECT_LE(told.messages.size() - before, 20u);
    EXPECT_EQ(bridge.appsSeen().size(), Bridge::MAX_APPS_SEEN);

    bridge.reconfigure(choosing(false, {"Mail"}));
    const auto whileOff = told.messages.size();
    bridge.notificationSeen({"Mail", "later", ""});
    bridge.notify("From a script", "");  // the user's own scripts are told whatever the choice
    ASSERT_EQ(told.messages.size(), whileOff + 1);
    EXPECT_EQ(told.messages.back()["notification"]["summary"], "From a script");
}

TEST(Bridge, ABurstOfClipboardChangesIsToldAtOnceThenOnceMoreWithTheLastTime) {
    Told told;
    Bridge bridge(told.links());
    bridge.clipboardChanged();
    ASSERT_EQ(told.messages.size(), 1u);
    for (int i = 0; i < 50; ++i) {
        bridge.clipboardChanged();
    }
    EXPECT_EQ(told.messages.size(), 1u);
    ASSERT_EQ(told.later.size(), 1u) << "one message waits for the burst, whatever its length";
    told.later.front()();
    ASSERT_EQ(told.messages.size(), 2u);
    EXPECT_EQ(told.messages.back()["clipboard"]["changed"], bridge.clipboardChangedAt());
    EXPECT_EQ(told.messages.back().dump().find("text"), std::string::npos);
}

TEST(Bridge, TheAppInFrontIsToldPacedAndTheRecentOnesKeptWithoutTapdeck) {
    Told told;
    Bridge bridge(told.links());
    bridge.focusChanged("firefox");
    ASSERT_EQ(told.messages.size(), 1u);
    EXPECT_EQ(told.messages[0], Json({{"focus", {{"app", "firefox"}}}}));
    for (int i = 0; i < 20; ++i) {
        bridge.focusChanged("app" + std::to_string(i));
    }
    bridge.focusChanged("Tapdeck");
    bridge.focusChanged(std::nullopt);
    ASSERT_EQ(told.later.size(), 1u);
    told.later.front()();
    EXPECT_EQ(told.messages.back(), Json({{"focus", {{"app", nullptr}}}}));
    EXPECT_EQ(bridge.focusedApp(), std::nullopt);
    const auto recent = bridge.recentApps();
    ASSERT_EQ(recent.size(), Bridge::MAX_RECENT_APPS);
    EXPECT_EQ(recent.front(), "app19");
}

}  // namespace
}  // namespace td::bridge
