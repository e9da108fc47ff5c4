// Action endpoints whose effect needs a desktop session (run inside the private one).
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <fstream>

#include "api_fixture.hpp"
#include "host/volume.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/mock_player.hpp"

namespace td::api {
namespace {

using test::ApiFixture;

class DesktopApi : public ::testing::Test {
  protected:
    ApiFixture api{[](Settings& settings) { settings.session = DesktopSession::x11; }};
    std::string token = api.pairedToken();
    test::Answer post(const std::string& path, const std::string& body) {
        return api.withToken("POST", path, token, body);
    }
};

TEST_F(DesktopApi, VolumeLevelsAndMute) {
    struct Case {
        std::string body;
        int answered, actual;
    };
    for (const auto& c : {Case{R"({"level":150})", 100, 100}, Case{R"({"level":-5})", 0, 0},
                          Case{R"({"level":33.9})", 33, 33}, Case{R"({"level":"80"})", 50, 50},
                          Case{"{}", 50, 50}, Case{R"({"level":true})", 1, 1}}) {
        EXPECT_EQ(post("/api/volume", c.body).body, (Json{{"ok", true}, {"level", c.answered}}))
            << c.body;
        EXPECT_EQ(host::getVolume(), c.actual) << c.body;
    }
    EXPECT_EQ(post("/api/volume", R"({"muted":1,"level":10})").body,
              (Json{{"ok", true}, {"muted", true}}));
    EXPECT_EQ(host::getVolume(), 1);  // muting leaves the level alone
    EXPECT_EQ(api.withToken("GET", "/api/volume", token).body,
              (Json{{"ok", true}, {"level", 1}, {"muted", true}}));
    EXPECT_EQ(post("/api/volume", R"({"muted":false})").body,
              (Json{{"ok", true}, {"muted", false}}));
}

TEST_F(DesktopApi, TheReportFindsKeysThePlayerAndTheSoundServer) {
    test::MockPlayer player("tdreport", "Report");
    ASSERT_TRUE(player.ready());
    const Json report = api.withToken("GET", "/api/capabilities", token).body;
    EXPECT_EQ(report["keys"], (Json{{"ok", true}, {"backend", "xtest"}, {"canAsk", false}}));
    EXPECT_EQ(report["media"]["ok"], true);
    EXPECT_EQ(report["media"]["players"], Json::array({"org.mpris.MediaPlayer2.tdreport"}));
    EXPECT_EQ(report["sound"]["ok"], true);
    EXPECT_EQ(report["sound"]["server"], "pulseaudio");
    EXPECT_EQ(report["sound"]["output"], "tapdeck_test");
    EXPECT_EQ(report["clipboard"]["tool"], "xclip");
    // The clipboard and the app in front are followed on this X server as soon as the agent is.
    EXPECT_TRUE(test::eventually([&] {
        const Json now = api.withToken("GET", "/api/capabilities", token).body;
        return now["clipboard"]["follows"] == Json{{"ok", true}, {"how", "XFixes"}} &&
               now["focus"] == Json{{"ok", true}, {"how", "_NET_ACTIVE_WINDOW"}};
    }));
}

TEST_F(DesktopApi, UnknownGestureWithKeysAvailableSaysNothingMore) {
    EXPECT_EQ(post("/api/gesture", R"({"value":"nope","action":"spotlight"})").raw.substr(0, 15),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(post("/api/gesture", R"({"value":"nope"})").body, (Json{{"ok", false}}));
    EXPECT_EQ(post("/api/type", "{}").body, (Json{{"ok", false}}));
}

TEST(DesktopIconApi, IconOfAnInstalledAppIsCachedForAWeek) {
    // An app of our own, written before the launcher's entries are first read.
    const std::filesystem::path data = std::getenv("XDG_DATA_HOME");
    const auto iconFile = data / "td-api-icon.png";
    GdkPixbuf* square = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 48, 48);
    gdk_pixbuf_fill(square, 0x3366FFFF);
    ASSERT_TRUE(gdk_pixbuf_save(square, iconFile.c_str(), "png", nullptr, nullptr));
    g_object_unref(square);
    std::filesystem::create_directories(data / "applications");
    std::ofstream(data / "applications/td-api-icon.desktop")
        << "[Desktop Entry]\nType=Application\nName=Tapdeck Api Icon\nExec=/bin/true\nIcon="
        << iconFile.string() << "\n";

    ApiFixture api;
    const auto answer = api.remote("GET", "/api/icon?app=Tapdeck%20Api%20Icon");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(test::headerValue(answer.raw, "Content-Type"), "image/png");
    EXPECT_EQ(test::headerValue(answer.raw, "Cache-Control"), "public, max-age=604800");
    EXPECT_TRUE(test::bodyOf(answer.raw).starts_with("\x89PNG\r\n\x1a\n"));
}

}  // namespace
}  // namespace td::api
