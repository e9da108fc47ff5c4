#include <gtest/gtest.h>

#include "api_fixture.hpp"
#include "support/eventually.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using test::eventually;
using namespace std::chrono_literals;

TEST(BridgeApi, OnlyThisComputerNotifiesOnlyPairedStreamsHearAndTheAdminPageListsApps) {
    ApiFixture api;
    const std::string token = api.pairedToken();
    EXPECT_EQ(api.remote("GET", "/api/clipboard").status, 401);
    EXPECT_EQ(api.remote("GET", "/api/focus").status, 401);
    EXPECT_EQ(api.withToken("POST", "/api/notify", token, R"({"summary":"hi"})").status, 403);
    EXPECT_EQ(api.local("POST", "/api/notify", R"({"summary":""})").status, 400);
    EXPECT_EQ(api.local("POST", "/api/notify", R"({"body":"no summary"})").status, 400);

    auto stranger = api.openEventStream();
    auto paired = api.openEventStream(token);
    ASSERT_EQ(api.local("POST", "/api/notify", R"({"summary":"<b>Backup</b> done\u202E"})").status,
              200);
    const std::string told =
        R"(data: {"notification":{"app":"Tapdeck","summary":"<b>Backup</b> done ","body":""}})";
    EXPECT_TRUE(eventually([&] {
        return paired->sentAtLeast(0, 0ms).find(told) != std::string::npos;
    })) << paired->sentAtLeast(0);

    // Applications' notifications: only those of allowed apps, once switched on; every app seen
    // meanwhile is listed for the admin page to offer.
    Json config = api.local("GET", "/api/admin").body["config"];
    config["settings"]["notifications"] = true;
    config["settings"]["notificationApps"] = {"Mail"};
    ASSERT_EQ(api.local("POST", "/api/config", dumpCompact(config)).status, 200);
    bridge::Bridge& bridge = *api.agent().apiContext().bridge;
    bridge.notificationSeen({"Chat", "private", "words"});
    bridge.notificationSeen({"Mail", "From Ann", "Lunch?"});
    EXPECT_TRUE(eventually([&] {
        return paired->sentAtLeast(0, 0ms).find(R"("app":"Mail","summary":"From Ann")") !=
               std::string::npos;
    }));
    EXPECT_EQ(paired->sentAtLeast(0).find("private"), std::string::npos);
    EXPECT_EQ(api.withToken("GET", "/api/admin", token).body["notificationAppsSeen"],
              Json({"Chat", "Mail"}));

    bridge.focusChanged("org.gnome.Terminal");
    EXPECT_EQ(
        api.withToken("GET", "/api/focus", token).body,
        Json({{"ok", true}, {"app", "org.gnome.Terminal"}, {"recent", {"org.gnome.Terminal"}}}));
    bridge.clipboardChanged();
    EXPECT_TRUE(eventually([&] {
        return paired->sentAtLeast(0, 0ms).find(R"(data: {"clipboard":{"changed":)") !=
               std::string::npos;
    }));
    const std::string strangerHeard = stranger->sentAtLeast(0);
    EXPECT_EQ(strangerHeard.find("notification"), std::string::npos);
    EXPECT_EQ(strangerHeard.find("clipboard"), std::string::npos);
    EXPECT_EQ(strangerHeard.find("focus"), std::string::npos);
    EXPECT_NE(paired->sentAtLeast(0).find(R"({"focus":{"app":"org.gnome.Terminal"}})"),
              std::string::npos);
}

}  // namespace
}  // namespace td::api
