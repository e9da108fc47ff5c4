#include <gtest/gtest.h>

#include "api_harness.hpp"
#include "common/relay_address.hpp"
#include "host/host_facts.hpp"
#include "store/files.hpp"

namespace td::api {
namespace {

using test::ApiHarness;

TEST(ConfigApi, SavedDocumentIsSanitisedReadBackAndAnnounced) {
    ApiHarness api;
    auto stream = api.openEventStream();

    const Json document = {{"config",
                            {{"pages", {{{"name", "Mine"}, {"tiles", Json::array()}}}},
                             {"settings", {{"columns", 3}}}}},
                           {"version", "x"}};
    EXPECT_EQ(api.call("POST", "/api/config", dumpCompact(document)).body, (Json{{"ok", true}}));
    EXPECT_EQ(stream.readExactly(29), ApiHarness::RELOAD_CHUNK);

    const auto read = api.callWithToken("GET", "/api/config", api.pairedToken());
    ASSERT_EQ(read.status, 200);
    EXPECT_EQ(read.body.size(), 6u);
    EXPECT_EQ(read.body["config"], (Json{{"pages", {{{"name", "Mine"}, {"tiles", Json::array()}}}},
                                         {"settings", {{"columns", 3}}}}));
    EXPECT_EQ(read.body["version"], "0.1.0");
    EXPECT_EQ(read.body["host"], host::computerName());
    EXPECT_EQ(read.body["relayUrl"], relayPhonePageUrl() + api.store().relayId());
    EXPECT_EQ(read.body["relayEnabled"], false);
}

TEST(ConfigApi, BodyThatIsNotADocumentKeepsTheConfiguration) {
    ApiHarness api;
    api.store().saveConfig({{"pages", {{{"name", "Keep"}}}}});
    const Json before = api.store().snapshotConfig();
    const std::string fileBefore = *store::readWholeFile(api.store().configFile());
    for (std::string body : {"", "[1,2]", "not json", "42", "null"}) {
        const auto answer = api.call("POST", "/api/config", body);
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(answer.body, (Json{{"ok", false}, {"error", "Invalid config"}})) << body;
    }
    EXPECT_EQ(api.store().snapshotConfig(), before);
    EXPECT_EQ(*store::readWholeFile(api.store().configFile()), fileBefore);
}

}  // namespace
}  // namespace td::api
