#include "host/pointer.hpp"

#include <gtest/gtest.h>

#include "host/keys.hpp"

namespace td::host {
namespace {

// Every event of a batch is read, or none is: a batch with one bad event applies nothing.
TEST(PointerEvents, AreReadWholeOrRefusedWhole) {
    using Kind = PointerEvent::Kind;
    const std::vector<std::pair<std::string, std::optional<std::vector<PointerEvent>>>> rows = {
        {R"([["move",1.5,-2]])", std::vector{PointerEvent{Kind::move, 1.5, -2}}},
        {R"([["scroll",0,10000],["button","right","click"]])",
         std::vector{PointerEvent{Kind::scroll, 0, 10000},
                     PointerEvent{Kind::button, 0, 0, Button::right, ButtonAction::click}}},
        {R"([["button","middle","down"],["button","left","up"]])",
         std::vector{PointerEvent{Kind::button, 0, 0, Button::middle, ButtonAction::down},
                     PointerEvent{Kind::button, 0, 0, Button::left, ButtonAction::up}}},
        {R"([])", std::nullopt},
        {R"({"move":[1,2]})", std::nullopt},
        {R"([["move",1]])", std::nullopt},
        {R"([["move",1,2,3]])", std::nullopt},
        {R"([["jump",1,2]])", std::nullopt},
        {R"([["move","1",2]])", std::nullopt},
        {R"([["move",10000.5,0]])", std::nullopt},
        {R"([["scroll",0,-1e400]])", std::nullopt},
        {R"([["move",1,2],["button","back","click"]])", std::nullopt},
        {R"([["button","left","hold"]])", std::nullopt},
        {R"([[1,2,3]])", std::nullopt},
        {R"(["move"])", std::nullopt},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text);
        const auto json = parseJson(text);
        EXPECT_EQ(json ? readPointerEvents(*json) : std::nullopt, expected);
    }
    UntrustedJson most = UntrustedJson::array();
    for (std::size_t i = 0; i < MAX_POINTER_EVENTS; ++i) {
        most.push_back({"move", 1, 1});
    }
    EXPECT_TRUE(readPointerEvents(most));
    most.push_back({"move", 1, 1});
    EXPECT_FALSE(readPointerEvents(most));
}

TEST(PixelCarry, KeepsWhatIsLeftOfEachPixelForTheNext) {
    PixelCarry carry;
    std::vector<int> whole;
    for (double delta : {0.4, 0.4, 0.4, -1.5, -0.6, 2.0}) {
        whole.push_back(carry.take(delta));
    }
    EXPECT_EQ(whole, (std::vector<int>{0, 0, 1, -1, 0, 1}));  // 0.1 carried at the end
}

TEST(KeyCombos, ModifiersInAnyCaseThenOneKeyByItsName) {
    const std::vector<std::pair<std::string, std::optional<std::vector<Keysym>>>> rows = {
        {"ctrl+shift+t", std::vector<Keysym>{0xFFE3, 0xFFE1, 't'}},
        {"CTRL+T", std::vector<Keysym>{0xFFE3, 't'}},
        {"Super+Right", std::vector<Keysym>{0xFFEB, 0xFF53}},
        {"alt+F5", std::vector<Keysym>{0xFFE9, 0xFFC2}},
        {"Escape", std::vector<Keysym>{0xFF1B}},
        {"space", std::vector<Keysym>{' '}},
        {"", std::nullopt},
        {"ctrl+", std::nullopt},
        {"+t", std::nullopt},
        {"ctrl+ctrl+t", std::nullopt},
        {"hyper+t", std::nullopt},
        {"ctrl+t+u", std::nullopt},
        {"ctrl+NoSuchKey", std::nullopt},
        {std::string("ctrl+a\0; rm -rf ~", 17), std::nullopt},  // no name ends at a NUL
        {std::string(60, 'a') + "+ctrl+t", std::nullopt},
    };
    for (const auto& [combo, keys] : rows) {
        EXPECT_EQ(parseKeyCombo(combo), keys) << combo;
    }
    // The gestures' own combinations (the user may override them) follow the same naming rule.
    EXPECT_EQ(parseCombination("Ctrl+Alt+d"), (std::vector<Keysym>{0xFFE3, 0xFFE9, 'd'}));
    EXPECT_EQ(parseCombination(std::string("Ctrl+a\0; rm -rf ~", 17)), std::nullopt);
}

}  // namespace
}  // namespace td::host
