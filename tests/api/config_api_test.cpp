#include <gtest/gtest.h>

#include "api_fixture.hpp"
#include "common/files.hpp"
#include "host/host_facts.hpp"

namespace td::api {
namespace {

using test::ApiFixture;

TEST(ConfigApi, SavedDocumentIsSanitisedAnnouncedAndReadBack) {
    ApiFixture api([](Settings& s) { s.relayHost = "relay.test"; });
    auto stream = api.openEventStream();
    const std::size_t greeted = stream->sentAtLeast(0).size();

    const Json document = {{"config",
                            {{"pages", {{{"name", "Mine"}, {"tiles", Json::array()}}}},
                             {"settings", {{"columns", 3}}}}},
                           {"version", "x"}};
    EXPECT_EQ(api.local("POST", "/api/config", dumpCompact(document)).body, (Json{{"ok", true}}));
    EXPECT_EQ(stream->sentAtLeast(greeted + 29).substr(greeted), ApiFixture::RELOAD_CHUNK);

    const auto read = api.withToken("GET", "/api/config", api.pairedToken());
    ASSERT_EQ(read.status, 200);
    EXPECT_EQ(read.body["config"], (Json{{"pages", {{{"name", "Mine"}, {"tiles", Json::array()}}}},
                                         {"settings", {{"columns", 3}}}}));
    EXPECT_EQ(read.body["host"], host::computerName());
    EXPECT_EQ(read.body["relayUrl"], "https://relay.test/phone/" + api.store().relayId());
    EXPECT_EQ(read.body["relayEnabled"], false);
    EXPECT_TRUE(read.body["version"].is_string());
}

TEST(ConfigApi, BodyThatIsNotADocumentKeepsTheConfiguration) {
    ApiFixture api;
    api.store().saveConfig({{"pages", {{{"name", "Keep"}}}}});
    const Json before = api.store().snapshotConfig();
    const std::string fileBefore = *readWholeFile(api.store().configFile());
    for (std::string body : {"", "[1,2]", "not json", "42", "null"}) {
        const auto answer = api.local("POST", "/api/config", body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "Invalid config"}})) << body;
    }
    EXPECT_EQ(api.store().snapshotConfig(), before);
    EXPECT_EQ(*readWholeFile(api.store().configFile()), fileBefore);
}

}  // namespace
}  // namespace td::api
