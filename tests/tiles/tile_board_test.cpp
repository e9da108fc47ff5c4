#include "tiles/tile_board.hpp"

#include <gtest/gtest.h>

#include <future>

#include "common/base64.hpp"
#include "tiles/latest_runs.hpp"

namespace td::tiles {
namespace {

std::variant<TileChange, std::string> read(const std::string& text) {
    return readTileChange(UntrustedJson::parse(text));
}

TEST(TileChange, APushIsShortTextAStateALevelOrAnIconAndNothingElse) {
    const std::string png = "data:image/png;base64," + base64Encode("\x89PNG\r\n\x1A\n....");
    const auto good =
        read(R"({"label":"Lamp","value":21.5,"state":true,"level":42.4,"icon":null})");
    ASSERT_TRUE(std::holds_alternative<TileChange>(good));
    const auto& change = std::get<TileChange>(good);
    EXPECT_EQ(change.set.at("value"), "21.5");
    EXPECT_EQ(change.set.at("state"), "on");
    EXPECT_EQ(change.set.at("level"), 42);
    EXPECT_EQ(change.cleared.count("icon"), 1u);
    EXPECT_TRUE(std::holds_alternative<TileChange>(read(R"({"icon":")" + png + "\"}")));
    EXPECT_TRUE(std::holds_alternative<TileChange>(read(R"({"icon":"👨‍👩‍👧"})")));

    const std::string bigPng =
        "data:image/png;base64," + base64Encode("\x89PNG\r\n\x1A\n" + std::string(64 * 1024, 'x'));
    const std::string jpegLabelledPng = "data:image/png;base64," + base64Encode("\xFF\xD8\xFF....");
    for (const std::string& bad : std::vector<std::string>{
             R"([1])", R"({"label":")" + std::string(65, 'a') + "\"}", R"({"label":"a\u0007b"})",
             R"({"value":"photo\u202Egpj.exe"})", R"({"label":"a\u200Fb"})",
             R"({"label":"a\u2028b"})", R"({"label":"a\u200Bb"})", R"({"label":"a\u0085b"})",
             R"({"icon":"\u202E😀"})", R"({"state":"maybe"})", R"({"level":101})",
             R"({"level":"50"})", R"({"icon":"lamp"})", R"x({"icon":"javascript:alert(1)"})x",
             R"({"icon":")" + jpegLabelledPng + "\"}", R"({"icon":")" + bigPng + "\"}",
             R"({"colour":"red"})", R"({"value":{"a":1}})"}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(read(bad))) << bad.substr(0, 80);
    }
}

struct Published {
    std::vector<std::string> messages;
    std::vector<std::function<void()>> later;
    TileBoard board{[this](std::string m) { messages.push_back(std::move(m)); },
                    [this](std::chrono::milliseconds, std::function<void()> task) {
                        later.push_back(std::move(task));
                    }};
    void runLater() {
        auto tasks = std::move(later);
        for (auto& task : tasks) {
            task();
        }
    }
};

TileChange change(const std::string& text) {
    return std::get<TileChange>(read(text));
}

Json configWith(Json tiles) {
    return {{"pages", {{{"name", "P"}, {"tiles", std::move(tiles)}}}}};
}

TEST(TileBoard, AChangeIsToldAtOnceAndTheRestOfItsBurstInOneMessage) {
    Published p;
    p.board.reconfigure(configWith({{{"id", "lamp"}, {"type", "toggle"}},
                                    {{"id", "cpu"}, {"type", "status"}},
                                    {{"id", "mute"}, {"type", "toggle"}, {"source", "mute"}}}));
    EXPECT_EQ(p.board.apply("nope", change(R"({"value":"1"})")), TileBoard::Outcome::unknownTile);
    EXPECT_EQ(p.board.apply("cpu", change(R"({"value":"1"})")), TileBoard::Outcome::changed);
    ASSERT_EQ(p.messages, std::vector{tileStateMessage({{"cpu", {{"value", "1"}}}})});
    EXPECT_EQ(p.board.apply("cpu", change(R"({"value":"2","label":"CPU"})")),
              TileBoard::Outcome::changed);
    EXPECT_EQ(p.board.apply("lamp", change(R"({"state":"on"})")), TileBoard::Outcome::changed);
    EXPECT_EQ(p.board.apply("lamp", change(R"({"state":"on"})")), TileBoard::Outcome::unchanged);
    p.board.followMute(true);
    ASSERT_EQ(p.later.size(), 1u) << "one message is scheduled for the rest of the burst";
    EXPECT_EQ(p.messages.size(), 1u);
    p.runLater();
    ASSERT_EQ(p.messages.size(), 2u);
    EXPECT_EQ(p.messages[1], tileStateMessage({{"cpu", {{"value", "2"}, {"label", "CPU"}}},
                                               {"lamp", {{"state", "on"}}},
                                               {"mute", {{"state", "on"}}}}));

    p.board.apply("cpu", change(R"({"value":null,"label":null})"));
    p.runLater();  // within the interval of the last message, or at once
    EXPECT_EQ(p.messages.back(), tileStateMessage({{"cpu", Json::object()}}));

    // A tile that leaves loses its state; one that comes and follows the sound takes it at once.
    p.board.reconfigure(configWith({{{"id", "m2"}, {"type", "toggle"}, {"source", "mute"}}}));
    EXPECT_EQ(p.board.states(), (Json{{"m2", {{"state", "on"}}}}));
    EXPECT_EQ(p.board.tile("lamp"), std::nullopt);

    // The states together stay within their bound: a picture past it is refused, and clearing
    // one makes room again.
    Json many = Json::array();
    for (int i = 0; i < 40; ++i) {
        many.push_back({{"id", "t" + std::to_string(i)}});
    }
    p.board.reconfigure(configWith(many));
    const std::string picture =
        "data:image/png;base64," + base64Encode("\x89PNG\r\n\x1A\n" + std::string(60 * 1024, 'x'));
    const auto withIcon = change(R"({"icon":")" + picture + "\"}");
    int kept = 0;
    while (kept < 40 &&
           p.board.apply("t" + std::to_string(kept), withIcon) == TileBoard::Outcome::changed) {
        ++kept;
    }
    EXPECT_LT(kept, 40);
    EXPECT_LE(dumpCompact(p.board.states()).size(), MAX_STATE_BYTES + 1024);
    EXPECT_EQ(p.board.apply("t" + std::to_string(kept), withIcon), TileBoard::Outcome::full);
    p.board.apply("t0", change(R"({"icon":null})"));
    EXPECT_EQ(p.board.apply("t" + std::to_string(kept), withIcon), TileBoard::Outcome::changed);
}

TEST(TileBoard, AConfigurationWithAnIdUsedTwiceOrMalformedIsRefused) {
    EXPECT_EQ(tileProblemIn(configWith({{{"id", "a"}}, {{"type", "app"}}})), std::nullopt);
    EXPECT_TRUE(tileProblemIn(configWith({{{"id", "a"}}, {{"id", "a"}}})));
    for (const Json& tile : {Json{{"id", "Lamp"}}, Json{{"id", ""}}, Json{{"id", "a/b"}},
                             Json{{"id", 7}}, Json{{"id", std::string(65, 'a')}},
                             Json{{"id", "a"}, {"every", 0}}, Json{{"id", "a"}, {"every", "5"}}}) {
        EXPECT_TRUE(tileProblemIn(configWith({tile}))) << tile.dump();
    }
}

}  // namespace
}  // namespace td::tiles

namespace td::tiles {
namespace {

TEST(LatestRuns, ValuesThatComeWhileOneRunsWaitAndOnlyTheLastOfThemRuns) {
    LatestRuns runs(2);
    std::promise<void> started;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::mutex mutex;
    std::vector<int> ran;
    const auto record = [&](int value) {
        std::lock_guard lock(mutex);
        ran.push_back(value);
    };
    runs.submit("fan", 1, [&](int value) {
        started.set_value();
        released.wait();
        record(value);
    });
    started.get_future().wait();
    for (int value : {2, 3, 4}) {
        runs.submit("fan", value, record);
    }
    // Another slider runs on the other thread meanwhile.
    std::promise<void> otherRan;
    runs.submit("lamp", 9, [&](int) { otherRan.set_value(); });
    otherRan.get_future().wait();
    release.set_value();
    runs.waitUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{1, 4}));
}

TEST(LatestRuns, ASliderDraggedOnAndOnTakesTurnsWithOneThatWaits) {
    LatestRuns one(1);
    std::promise<void> busy;
    std::promise<void> go;
    auto gone = go.get_future().share();
    std::vector<std::string> order;  // written by the one thread only
    one.submit("a", 1, [&](int) {
        busy.set_value();
        gone.wait();
        order.push_back("a1");
    });
    busy.get_future().wait();
    one.submit("b", 2, [&](int) { order.push_back("b"); });
    one.submit("a", 3, [&](int) { order.push_back("a3"); });
    go.set_value();
    one.waitUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b", "a3"}));
}

}  // namespace
}  // namespace td::tiles
