#include "app/tile_command.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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

TEST(TileCommand, WhatAnotherProgramOnThePortSaysCannotDriveTheTerminal) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread impostor([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char request[4096];
        [[maybe_unused]] auto ignored = ::read(peer, request, sizeof request);
        const std::string answer =
            "HTTP/1.1 400 ERR\r\nConnection: close\r\n\r\n"
            R"({"error":"\u001b]0;owned\u0007\u001b[2J\u009bbad"})";
        ignored = ::write(peer, answer.data(), answer.size());
        ::close(peer);
    });
    std::string error;
    const auto said =
        sendTileCommand(*parseTileCommand({"cpu", "--value", "1"}, error), ntohs(address.sin_port));
    impostor.join();
    ::close(listener);
    ASSERT_TRUE(said);
    EXPECT_EQ(said->find_first_of("\x1b\x07"), std::string::npos) << *said;
    EXPECT_EQ(said->find("\xC2\x9B"), std::string::npos) << *said;
    EXPECT_NE(said->find("bad"), std::string::npos) << *said;
}

}  // namespace
}  // namespace td::app
