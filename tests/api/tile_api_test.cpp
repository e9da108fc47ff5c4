#include <gtest/gtest.h>
#include <sys/stat.h>

#include "api_fixture.hpp"
#include "common/files.hpp"
#include "support/eventually.hpp"

namespace td::api {
namespace {

using test::ApiFixture;
using test::eventually;

void script(ApiFixture& api, const std::string& name, const std::string& body) {
    const auto folder = std::filesystem::path(api.store().supportFolder()) / "shortcuts";
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 0700);
    ASSERT_TRUE(replaceFileAtomically((folder / name).string(), "#!/bin/sh\n" + body + "\n", 0700));
}

Json deck(Json tiles) {
    return {{"pages", {{{"name", "Deck"}, {"tiles", std::move(tiles)}}}}};
}

TEST(TileApi, PushesAreCheckedAtTheDoorHeardByPairedStreamsOnlyAndNeverSaved) {
    ApiFixture api;
    Json tiles = {{{"type", "status"}, {"id", "cpu"}, {"label", "CPU"}},
                  {{"type", "toggle"}, {"id", "cpu"}}};
    EXPECT_EQ(api.local("POST", "/api/config", dumpCompact(deck(tiles))).status, 400);
    tiles[1]["id"] = "lamp";
    ASSERT_EQ(api.local("POST", "/api/config", dumpCompact(deck(tiles))).status, 200);
    const std::string token = api.pairedToken();
    const std::string savedBefore = *readWholeFile(api.store().configFile());
    auto stranger = api.openEventStream();
    auto paired = api.openEventStream(token);

    EXPECT_EQ(api.remote("POST", "/api/tiles/cpu", R"({"value":"1"})").status, 401);
    EXPECT_EQ(api.remote("GET", "/api/tiles").status, 401);
    EXPECT_EQ(api.local("POST", "/api/tiles/gpu", R"({"value":"1"})").status, 404);
    EXPECT_EQ(api.local("POST", "/api/tiles/CPU", R"({"value":"1"})").status, 404);
    EXPECT_EQ(api.local("POST", "/api/tiles/cpu/../lamp", R"({"value":"1"})").status, 404);
    for (const std::string& bad :
         std::vector<std::string>{"", "[]", R"({"state":"maybe"})", R"({"value":[1,2]})"}) {
        const auto answer = api.local("POST", "/api/tiles/cpu", bad);
        EXPECT_EQ(answer.status, 400) << bad;
        EXPECT_TRUE(answer.body["error"].is_string()) << bad;
    }
    EXPECT_EQ(api.local("POST", "/api/tiles/cpu", R"({"value":"42 %"})").body["ok"], true);
    EXPECT_EQ(
        api.withToken("POST", "/api/tiles/lamp", token, R"({"state":"on","icon":"💡"})").body["ok"],
        true);

    const auto heard = [&paired](const std::string& part) {
        return eventually([&] {
            const std::string sent = paired->sentAtLeast(0, std::chrono::milliseconds(0));
            return sent.find("event: state\ndata: {\"tiles\":") != std::string::npos &&
                   sent.find(part) != std::string::npos;
        });
    };
    EXPECT_TRUE(heard(R"("cpu":{"value":"42 %"})")) << paired->sentAtLeast(0);
    EXPECT_TRUE(heard(R"("lamp":{"icon":"💡","state":"on"})")) << paired->sentAtLeast(0);
    EXPECT_EQ(stranger->sentAtLeast(0).find("tiles"), std::string::npos);
    EXPECT_EQ(api.withToken("GET", "/api/tiles", token).body["tiles"],
              (Json{{"cpu", {{"value", "42 %"}}}, {"lamp", {{"icon", "💡"}, {"state", "on"}}}}));
    EXPECT_EQ(*readWholeFile(api.store().configFile()), savedBefore);
}

TEST(TileApi, ARunDoesWhatATapDoesForEveryPhone) {
    ApiFixture api;
    const auto log = api.dir().path() / "ran.log";
    script(api, "on", "echo on >> " + log.string());
    script(api, "off", "echo off >> " + log.string());
    script(api, "fan", "echo \"fan $1 $TD_TILE\" >> " + log.string());
    const Json tiles = {
        {{"type", "toggle"},
         {"id", "lamp"},
         {"on", {{{"type", "shortcut"}, {"value", "on"}}}},
         {"off", {{{"type", "shortcut"}, {"value", "off"}}}}},
        {{"type", "slider"}, {"id", "fan"}, {"min", 10}, {"max", 60}, {"step", 5}, {"set", "fan"}},
        {{"type", "status"}, {"id", "cpu"}},
        {{"type", "toggle"}, {"id", "bad"}, {"on", {{{"type", "shortcut"}, {"value", "../x"}}}}}};
    ASSERT_EQ(api.local("POST", "/api/config", dumpCompact(deck(tiles))).status, 200);
    const auto ran = [&] { return readWholeFile(log.string()).value_or(""); };

    EXPECT_EQ(api.local("POST", "/api/tiles/lamp/run", "{}").body["ok"], true);
    EXPECT_TRUE(eventually([&] { return ran() == "on\n"; })) << ran();
    EXPECT_EQ(api.local("GET", "/api/tiles").body["tiles"]["lamp"]["state"], "on");
    EXPECT_EQ(api.local("POST", "/api/tiles/lamp/run", "").body["ok"], true);
    EXPECT_TRUE(eventually([&] { return ran() == "on\noff\n"; })) << ran();
    EXPECT_EQ(api.local("GET", "/api/tiles").body["tiles"]["lamp"]["state"], "off");

    EXPECT_EQ(api.local("POST", "/api/tiles/fan/run", R"({"level":33})").body["ok"], true);
    EXPECT_TRUE(eventually([&] { return ran() == "on\noff\nfan 35 fan\n"; })) << ran();
    EXPECT_EQ(api.local("POST", "/api/tiles/fan/run", R"({"level":1000})").body["ok"], true);
    EXPECT_TRUE(eventually([&] { return ran() == "on\noff\nfan 35 fan\nfan 60 fan\n"; })) << ran();
    EXPECT_EQ(api.local("GET", "/api/tiles").body["tiles"]["fan"]["level"], 60);
    EXPECT_EQ(api.local("POST", "/api/tiles/fan/run", R"({"level":"x"})").status, 400);

    EXPECT_EQ(api.local("POST", "/api/tiles/cpu/run", "{}").status, 400);
    EXPECT_EQ(api.local("POST", "/api/tiles/bad/run", "{}").status, 400) << "steps are checked";
    EXPECT_EQ(api.local("POST", "/api/tiles/none/run", "{}").status, 404);
    EXPECT_EQ(api.remote("POST", "/api/tiles/lamp/run", "{}").status, 401);
}

}  // namespace
}  // namespace td::api
