#include "app/tile_command.hpp"

#include <gtest/gtest.h>

#include "api/api_fixture.hpp"
#include "common/files.hpp"

namespace td::app {
namespace {

TEST(TileCommand, ArgumentsBecomeAPushAndEveryMistakeSaysWhy) {
    std::string error;
    const auto command = parseTileCommand(
        {"cpu", "--value", "47 °C", "--label=", "--state", "on", "--level", "12.5"}, error);
    ASSERT_TRUE(command) << error;
    EXPECT_EQ(command->id, "cpu");
    EXPECT_EQ(
        parseJson(command->body).value(),
        (UntrustedJson{{"value", "47 °C"}, {"label", nullptr}, {"state", "on"}, {"level", 12.5}}));

    test::TempDir dir;
    dir.write("icon.png", std::string("\x89PNG\r\n\x1A\n", 8) + "pixels");
    dir.write("notes.txt", "not a picture");
    const auto icon =
        parseTileCommand({"cpu", "--icon", (dir.path() / "icon.png").string()}, error);
    ASSERT_TRUE(icon) << error;
    EXPECT_NE(icon->body.find("data:image/png;base64,iVBORw0KGg"), std::string::npos);

    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"Bad Id", "--value", "1"},
        {"cpu"},
        {"cpu", "--colour", "red"},
        {"cpu", "--value"},
        {"cpu", "--level", "high"},
        {"cpu", "--icon", (dir.path() / "notes.txt").string()}};
    for (const auto& args : wrong) {
        error.clear();
        EXPECT_FALSE(parseTileCommand(args, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(TileCommand, AScriptOfThisUserPushesThroughTheAgentAndHearsWhyNot) {
    test::ApiFixture api;
    api.store().saveConfig({{"pages", {{{"name", "P"}, {"tiles", {{{"id", "cpu"}}}}}}}});
    const std::uint16_t port = api.listen();
    std::string error;

    EXPECT_EQ(sendTileCommand(*parseTileCommand({"cpu", "--value", "47 °C"}, error), port),
              std::nullopt);
    EXPECT_EQ(api.local("GET", "/api/tiles").body["tiles"]["cpu"]["value"], "47 °C");

    EXPECT_EQ(sendTileCommand(*parseTileCommand({"gpu", "--value", "1"}, error), port),
              "No tile has this id");
    EXPECT_EQ(sendTileCommand(*parseTileCommand({"cpu", "--state", "maybe"}, error), port),
              "\"state\" must be \"on\" or \"off\"");
    api.agent().stop();
    const auto down = sendTileCommand(*parseTileCommand({"cpu", "--value", "1"}, error), port);
    ASSERT_TRUE(down);
    EXPECT_NE(down->find("not answering"), std::string::npos) << *down;
}

}  // namespace
}  // namespace td::app
