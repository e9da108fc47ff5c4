// The action, flow and admin endpoints where no desktop is needed to see what they do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>

#include "api_harness.hpp"
#include "host/gestures.hpp"

namespace td::api {
namespace {

using test::ApiHarness;
using namespace std::chrono_literals;

const std::string URL_STEP = R"({"type":"url","value":"https://example.com"})";
const std::string GESTURE_STEP = R"({"type":"gesture","value":"spotlight"})";

class ActionApi : public ::testing::Test {
  protected:
    void SetUp() override { ::unsetenv("DISPLAY"); }
    ApiHarness api;
    std::string token = api.pairedToken();
    ApiHarness::Answer post(const std::string& path, const std::string& body) {
        return api.callWithToken("POST", path, token, body);
    }
};

TEST_F(ActionApi, ActionsNeedATokenEvenFromThisComputer) {
    for (std::string path :
         {"/api/launch", "/api/url", "/api/shortcut", "/api/gesture", "/api/media", "/api/volume",
          "/api/system", "/api/clipboard", "/api/type", "/api/run-plan"}) {
        EXPECT_EQ(api.call("POST", path, "{}").status, 401) << path;
    }
    EXPECT_EQ(api.call("GET", "/api/shortcuts").body,
              (Json{{"ok", true}, {"shortcuts", Json::array()}}));
    EXPECT_EQ(api.call("GET", "/api/shortcuts", "", "", true).status, 401);
}

TEST_F(ActionApi, LaunchOnlyWhatHasAnAppTile) {
    EXPECT_EQ(post("/api/launch", R"({"app":"Files"})").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/launch", "[1]").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/url", R"({"url":"file:///etc/passwd"})").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/system", R"({"action":"lock"})").body, (Json{{"ok", false}}));
}

TEST_F(ActionApi, KeyActionsExplainWhenKeysCannotReachTheDesktop) {
    const auto gesture = post("/api/gesture", R"({"action":"spotlight"})");
    EXPECT_EQ(gesture.body["ok"], false);
    EXPECT_TRUE(gesture.body["error"].get<std::string>().find("X11 session") != std::string::npos);
    const auto typed = post("/api/type", R"({"text":"hi"})");
    EXPECT_EQ(typed.body["error"], "Tapdeck can send keys only in an X11 session.");
    EXPECT_EQ(typed.status, 200);
}

TEST_F(ActionApi, ShortcutsRunFromTheSupportFolderByNameElseValue) {
    const auto folder = std::filesystem::path(api.store().supportFolder()) / "shortcuts";
    const auto marker = folder / ".ran";
    api.dir().write("support/shortcuts/Hello",
                    "#!/bin/sh\necho \"$0\" >> \"" + marker.string() + "\"\n");
    ::chmod((folder / "Hello").c_str(), 0755);
    EXPECT_EQ(api.call("GET", "/api/shortcuts").body["shortcuts"], Json::array({"Hello"}));
    EXPECT_EQ(post("/api/shortcut", R"({"value":"Hello"})").body, (Json{{"ok", true}}));
    EXPECT_EQ(post("/api/shortcut", R"({"name":"Nope","value":"Hello"})").body,
              (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/shortcut", R"({"name":"../shortcuts/Hello"})").body,
              (Json{{"ok", false}}));
}

TEST_F(ActionApi, IconsAreOpenAndMissingOnesAreAnEmpty404) {
    for (std::string path : {"/api/icon", "/api/icon?app=No%20Such%20App", "/api/icon?app="}) {
        EXPECT_EQ(api.call("GET", path, "", "", true).raw,
                  "HTTP/1.1 404 ERR\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
                  "Connection: close\r\n\r\n")
            << path;
    }
}

TEST_F(ActionApi, RunPlanChecksEveryStepFirstThenPausesAfterEach) {
    EXPECT_EQ(post("/api/run-plan", R"({"steps":[]})").body, (Json{{"ok", true}, {"ran", 0}}));
    const auto refused = post(
        "/api/run-plan", "{\"steps\":[" + GESTURE_STEP + R"(,{"type":"app","value":"Files"}]})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body, (Json{{"ok", false}, {"error", "Invalid step"}}));

    const auto before = std::chrono::steady_clock::now();
    const auto ran = post("/api/run-plan", "{\"steps\":[" + GESTURE_STEP + "," + GESTURE_STEP +
                                               "," + GESTURE_STEP + "]}");
    EXPECT_EQ(ran.body, (Json{{"ok", true}, {"ran", 3}}));  // failing steps do not stop the run
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1200ms);
}

TEST_F(ActionApi, FlowsAreAddedAndRemovedWithAReload) {
    auto stream = api.openEventStream();
    for (std::string body :
         {std::string("{}"), std::string(R"({"steps":[]})"), "{\"steps\":[" + URL_STEP + ",\"x\"]}",
          "{\"steps\":[" + URL_STEP + R"(,{"type":"url","value":"ftp://x"}]})"}) {
        const auto refused = api.call("POST", "/api/flows", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(refused.body, (Json{{"ok", false}, {"error", "Invalid flow"}})) << body;
    }
    EXPECT_TRUE(stream.silentFor(100ms));

    EXPECT_EQ(api.call("POST", "/api/flows", "{\"steps\":[" + URL_STEP + "]}").body,
              (Json{{"ok", true}}));
    EXPECT_EQ(stream.readExactly(29), ApiHarness::RELOAD_CHUNK);
    const Json flows = api.store().snapshotConfig()["pages"].back();
    EXPECT_EQ(flows["name"], "Flows");
    EXPECT_EQ(flows["tiles"].back(), (Json{{"type", "flow"},
                                           {"label", "Flow"},
                                           {"emoji", "\xE2\x9A\xA1"},
                                           {"steps", Json::array({Json::parse(URL_STEP)})}}));

    EXPECT_EQ(api.call("DELETE", "/api/flows", R"({"label":"Flow"})").body, (Json{{"ok", true}}));
    EXPECT_EQ(stream.readExactly(29), ApiHarness::RELOAD_CHUNK);
    EXPECT_TRUE(api.store().snapshotConfig()["pages"].back()["tiles"].empty());
    EXPECT_EQ(api.call("DELETE", "/api/flows", R"({"label":"none"})").body, (Json{{"ok", true}}));
    EXPECT_EQ(stream.readExactly(29), ApiHarness::RELOAD_CHUNK);
}

TEST(AdminApi, EverythingTheAdminPageShowsInOneAnswer) {
    std::atomic<int> panelsShown{0};
    ApiHarness api({}, {}, [&] { ++panelsShown; });
    EXPECT_EQ(api.call("GET", "/api/admin", "", "", true).raw.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(api.call("GET", "/api/admin", "", "", true).body, (Json{{"ok", false}}));

    for (bool remote : {false, true}) {
        const auto answer = remote ? api.callWithToken("GET", "/api/admin", api.pairedToken())
                                   : api.call("GET", "/api/admin");
        ASSERT_EQ(answer.body.size(), 10u) << answer.raw;
        EXPECT_EQ(answer.body["ok"], true);
        EXPECT_EQ(answer.body["pin"], api.store().pinValue());
        EXPECT_EQ(answer.body["config"], api.store().snapshotConfig());
        EXPECT_EQ(answer.body["gestures"].size(), host::GESTURES.size());
        EXPECT_TRUE(answer.body["apps"].is_array());
        EXPECT_EQ(answer.body["shortcuts"], Json::array());
        EXPECT_EQ(answer.body["relayEnabled"], false);
    }
    const Json gesture = api.call("GET", "/api/admin").body["gestures"][0];
    EXPECT_EQ(gesture.size(), 3u);
    EXPECT_TRUE(host::isGesture(gesture["value"].get<std::string>()));

    EXPECT_EQ(api.call("POST", "/api/open-admin", "", "", true).status, 401);
    EXPECT_EQ(panelsShown, 0);
    EXPECT_EQ(api.call("POST", "/api/open-admin").body, (Json{{"ok", true}}));
    EXPECT_EQ(panelsShown, 1);
}

}  // namespace
}  // namespace td::api
