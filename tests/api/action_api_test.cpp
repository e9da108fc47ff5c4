// The action, flow and admin endpoints where no desktop is needed to see what they do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>

#include "api_fixture.hpp"
#include "host/gestures.hpp"
#include "support/eventually.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using namespace std::chrono_literals;

const std::string URL_STEP = R"({"type":"url","value":"https://example.com"})";
const std::string GESTURE_STEP = R"({"type":"gesture","value":"spotlight"})";

class ActionApi : public ::testing::Test {
  protected:
    // No display: keys cannot reach a desktop. Unset before any thread of a fixture runs.
    static void SetUpTestSuite() { ::unsetenv("DISPLAY"); }
    ApiFixture api;
    std::string token = api.pairedToken();
    test::Answer post(const std::string& path, const std::string& body) {
        return api.withToken("POST", path, token, body);
    }
};

TEST_F(ActionApi, NothingRunsThatTheOwnerDidNotAllow) {
    EXPECT_EQ(post("/api/launch", R"({"app":"Files"})").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/launch", "[1]").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/url", R"({"url":"file:///etc/passwd"})").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/system", R"({"action":"lock"})").body, (Json{{"ok", false}}));
}

TEST_F(ActionApi, KeyActionsExplainWhenKeysCannotReachTheDesktop) {
    const auto gesture = post("/api/gesture", R"({"action":"spotlight"})");
    EXPECT_EQ(gesture.body["ok"], false);
    EXPECT_NE(gesture.body["error"].get<std::string>().find("start it from your desktop"),
              std::string::npos);
    const auto typed = post("/api/type", R"({"text":"hi"})");
    EXPECT_EQ(typed.body["error"],
              "Tapdeck runs without a desktop session, so it cannot send keys.");
    EXPECT_EQ(typed.status, 200);
    // Media keys are D-Bus calls, not keys: no player is no reason to ask for key access.
    EXPECT_EQ(post("/api/media", R"({"action":"next"})").body, (Json{{"ok", false}}));
}

TEST_F(ActionApi, WithoutADesktopTheReportSaysWhatCannotWorkAndWhy) {
    EXPECT_EQ(api.remote("GET", "/api/capabilities").status, 401);
    const Json report = api.withToken("GET", "/api/capabilities", token).body;
    EXPECT_EQ(report, api.local("GET", "/api/capabilities").body);
    EXPECT_EQ(report["keys"]["ok"], false);
    EXPECT_EQ(report["keys"]["canAsk"], false);
    EXPECT_EQ(report["keys"]["reason"], post("/api/type", R"({"text":"hi"})").body["error"]);
    EXPECT_NE(report["keys"]["fix"].get<std::string>().find("start it from your desktop"),
              std::string::npos);
    EXPECT_EQ(report["clipboard"]["ok"], false);
    EXPECT_EQ(report["planner"]["ok"], false);
    // Every part that does not work says why and what to do.
    for (const auto& [name, part] : report.items()) {
        if (part.is_object() && part["ok"] == false) {
            EXPECT_FALSE(part["reason"].get<std::string>().empty()) << name;
            EXPECT_FALSE(part["fix"].get<std::string>().empty()) << name;
        }
    }
    EXPECT_EQ(post("/api/keys/allow", "").body["ok"], false);  // nothing to ask here
}

TEST_F(ActionApi, ShortcutsRunFromTheSupportFolderByNameElseValue) {
    const auto folder = std::filesystem::path(api.store().supportFolder()) / "shortcuts";
    api.dir().write("support/shortcuts/Hello", "#!/bin/sh\nexit 0\n");
    ::chmod((folder / "Hello").c_str(), 0755);
    EXPECT_EQ(api.local("GET", "/api/shortcuts").body["shortcuts"], Json::array({"Hello"}));
    EXPECT_EQ(post("/api/shortcut", R"({"value":"Hello"})").body, (Json{{"ok", true}}));
    EXPECT_EQ(post("/api/shortcut", R"({"name":"Nope","value":"Hello"})").body,
              (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/shortcut", R"({"name":"../shortcuts/Hello"})").body,
              (Json{{"ok", false}}));
}

TEST_F(ActionApi, IconsAreOpenAndMissingOnesAreAnEmpty404) {
    for (std::string path : {"/api/icon", "/api/icon?app=No%20Such%20App", "/api/icon?app="}) {
        EXPECT_EQ(api.remote("GET", path).raw,
                  "HTTP/1.1 404 ERR\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n" +
                      std::string(server::PAGE_GUARD_HEADERS) + "Connection: close\r\n\r\n")
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

    std::string tooLong = "{\"steps\":[" + URL_STEP;
    for (int i = 1; i < 33; ++i) {
        tooLong += "," + URL_STEP;
    }
    const auto capped = post("/api/run-plan", tooLong + "]}");
    EXPECT_EQ(capped.body, (Json{{"ok", false}, {"error", "Too many steps"}}));
}

TEST_F(ActionApi, PlansRunAFewAtATimeAndPairingAnswersMeanwhile) {
    std::string plan = "{\"steps\":[" + GESTURE_STEP;
    for (int i = 1; i < 32; ++i) {  // far longer than anything below takes
        plan += "," + GESTURE_STEP;
    }
    plan += "]}";
    std::vector<std::future<test::Answer>> running;
    for (std::size_t i = 0; i < api::PlanRuns::MAX_AT_ONCE; ++i) {
        running.push_back(
            std::async(std::launch::async, [&] { return post("/api/run-plan", plan); }));
    }
    ASSERT_TRUE(test::eventually([&] { return api.plans().running() == running.size(); }));
    EXPECT_EQ(post("/api/run-plan", plan).status, 429);
    EXPECT_EQ(api.remote("POST", "/api/pair", api.pinBody()).status, 200);
    for (auto& answer : running) {  // answered while every plan still held its worker
        EXPECT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    }
    api.plans().stop();
    for (auto& answer : running) {
        EXPECT_EQ(answer.get().body["error"], "Stopped");
    }
}

TEST_F(ActionApi, FlowsAreAddedAndRemovedWithAReload) {
    auto stream = api.openEventStream();
    const std::size_t greeted = stream->sentAtLeast(0).size();
    for (std::string body :
         {std::string("{}"), std::string(R"({"steps":[]})"), "{\"steps\":[" + URL_STEP + ",\"x\"]}",
          "{\"steps\":[" + URL_STEP + R"(,{"type":"url","value":"ftp://x"}]})"}) {
        const auto refused = api.local("POST", "/api/flows", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(refused.body, (Json{{"ok", false}, {"error", "Invalid flow"}})) << body;
    }
    EXPECT_EQ(stream->sentAtLeast(0).size(), greeted);  // nothing changed, nothing announced

    // A step keeps its type, value and label; whatever else came would only grow the file.
    const std::string padded = R"({"type":"url","value":"https://example.com","pad":[[[1]]]})";
    EXPECT_EQ(api.local("POST", "/api/flows", "{\"steps\":[" + padded + "]}").body,
              (Json{{"ok", true}}));
    const Json flows = api.store().snapshotConfig()["pages"].back();
    EXPECT_EQ(flows["name"], "Flows");
    EXPECT_EQ(flows["tiles"].back(), (Json{{"type", "flow"},
                                           {"label", "Flow"},
                                           {"emoji", "\xE2\x9A\xA1"},
                                           {"steps", Json::array({Json::parse(URL_STEP)})}}));
    EXPECT_EQ(api.local("DELETE", "/api/flows", R"({"label":"Flow"})").body, (Json{{"ok", true}}));
    EXPECT_TRUE(api.store().snapshotConfig()["pages"].back()["tiles"].empty());
    EXPECT_EQ(api.local("DELETE", "/api/flows", R"({"label":"none"})").body, (Json{{"ok", true}}));
    // Flows fill the configuration up to what one body can carry back, and no further.
    const std::string label(store::MAX_CONFIG_BYTES / 2, 'L');
    const std::string bigFlow = R"({"label":")" + label + R"(","steps":[)" + URL_STEP + "]}";
    EXPECT_EQ(api.local("POST", "/api/flows", bigFlow).status, 200);
    EXPECT_EQ(api.local("POST", "/api/flows", bigFlow).body,
              (Json{{"ok", false}, {"error", "The configuration is full"}}));
    const std::string reloads = stream->sentAtLeast(greeted + 4 * 29).substr(greeted);
    EXPECT_EQ(reloads,
              std::string(ApiFixture::RELOAD_CHUNK) + std::string(ApiFixture::RELOAD_CHUNK) +
                  std::string(ApiFixture::RELOAD_CHUNK) + std::string(ApiFixture::RELOAD_CHUNK));
}

TEST(AdminApi, EverythingTheAdminPageShowsInOneAnswer) {
    ApiFixture api;
    const auto refused = api.remote("GET", "/api/admin");
    EXPECT_EQ(refused.status, 200);
    EXPECT_EQ(refused.body, (Json{{"ok", false}}));

    const auto answer = api.withToken("GET", "/api/admin", api.pairedToken());
    ASSERT_EQ(answer.body.size(), 13u) << answer.raw;
    EXPECT_EQ(answer.body["ok"], true);
    EXPECT_EQ(answer.body["tileSources"], Json::array());
    // The PIN, which makes tokens, is this computer's: a phone neither reads nor sets it.
    EXPECT_EQ(answer.body["pin"], nullptr);
    EXPECT_EQ(api.local("GET", "/api/admin").body["pin"], api.store().pinValue());
    EXPECT_EQ(api.withToken("POST", "/api/set-pin", api.pairedToken(), R"({"pin":"1111"})").status,
              403);
    EXPECT_EQ(answer.body["config"], api.store().snapshotConfig());
    EXPECT_EQ(answer.body["gestures"].size(), host::GESTURES.size());
    EXPECT_TRUE(answer.body["apps"].is_array());
    EXPECT_EQ(answer.body["shortcuts"], Json::array());
    EXPECT_EQ(answer.body["relayEnabled"], false);
    EXPECT_EQ(answer.body["relayCertificate"]["state"], "idle");  // no relay asked for one
    const Json gesture = answer.body["gestures"][0];
    EXPECT_EQ(gesture.size(), 3u);
    EXPECT_TRUE(host::isGesture(gesture["value"].get<std::string>()));

    EXPECT_EQ(api.local("POST", "/api/open-admin").body, (Json{{"ok", true}}));
    EXPECT_TRUE(test::eventually([&] { return api.panelsShown() == 1; }));  // on the main thread
}

}  // namespace
}  // namespace td::api
