// Keys on Wayland: through a real compositor (sway, headless) with a window that records what
// it receives, and through the desktop's RemoteDesktop portal (a stand-in on the private bus
// that records every call). Run inside the private desktop session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "common/files.hpp"
#include "host/clipboard.hpp"
#include "host/focus_watch.hpp"
#include "host/input.hpp"
#include "host/process.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::eventually;

// sway on the headless backend, in a runtime folder of its own. sway refuses to run as root, so
// under root it runs as an ordinary user of a user namespace of its own.
class Sway : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        runtime_ = new test::TempDir;
        // No borders or title bars: the window starts where the output does.
        runtime_->write("config", "xwayland disable\ndefault_border none\n");
        std::vector<std::string> argv = {"sway", "-c", (runtime_->path() / "config").string()};
        if (::getuid() == 0) {
            argv.insert(argv.begin(), {"unshare", "--user", "--map-user=1000", "--map-group=1000"});
        }
        sway_ = new test::ChildProcess(
            argv, {"XDG_RUNTIME_DIR=" + runtime_->path().string(), "WLR_BACKENDS=headless",
                   "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"});
        ASSERT_TRUE(eventually([] { return fs::exists(runtime_->path() / "wayland-1"); }))
            << sway_->output();
        ::setenv("WAYLAND_DISPLAY", (runtime_->path() / "wayland-1").c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("WAYLAND_DISPLAY");
        delete sway_;
        delete runtime_;
    }

    static inline test::TempDir* runtime_ = nullptr;
    static inline test::ChildProcess* sway_ = nullptr;
    test::TempDir support_;
};

TEST_F(Sway, TheVirtualKeyboardPressesCombinationsAndTypesAnyTextOfAnyLength) {
    const auto keyboard = chooseInput({DesktopSession::wayland, support_.path()}).keyboard;
    ASSERT_EQ(keyboard->backend(), KeysBackend::virtualKeyboard);
    EXPECT_TRUE(keyboard->trusted());
    test::ChildProcess observer({WAYLAND_KEY_OBSERVER});
    ASSERT_TRUE(observer.waitForLine(std::regex("ready\n"))) << observer.output();

    EXPECT_TRUE(runGesture(*keyboard, DesktopKind::gnome, "show_desktop"));    // Super+d
    EXPECT_TRUE(runGesture(*keyboard, DesktopKind::kde, "app_windows"));       // Ctrl+F7
    EXPECT_FALSE(runGesture(*keyboard, DesktopKind::wlroots, "lock_screen"));  // none on sway
    EXPECT_TRUE(typeText(*keyboard, "Hé €\xF0\x9F\x98\x80!\n"));
    // Each character is its own key in the keymap sent with it: no Shift, whatever the layout.
    EXPECT_EQ(
        observer.linesAfter("ready", 11),
        (std::vector<std::string>{"0 Super_L", "64 d", "0 Control_L", "4 F7", "0 H", "0 eacute",
                                  "0 space", "0 U20AC", "0 U0001F600", "0 exclam", "0 Return"}));

    // 300 different ideographs, then the first again: more than one keymap holds, the second
    // reusing none.
    std::string text;
    std::vector<std::string> expected;
    for (char32_t c = 0x4E00; c <= 0x4E00 + 300; ++c) {
        const char32_t codePoint = c == 0x4E00 + 300 ? 0x4E00 : c;
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
        char name[16];
        std::snprintf(name, sizeof name, "0 U%X", static_cast<unsigned>(codePoint));
        expected.push_back(name);
    }
    EXPECT_TRUE(typeText(*keyboard, text));
    EXPECT_EQ(observer.linesAfter("0 Return", expected.size()), expected);
}

// The virtual pointer moves by exactly what it is sent (no acceleration of the compositor's),
// and its buttons and smooth scrolling reach the window under it.
TEST_F(Sway, TheClipboardIsFollowedThroughTheDataControlProtocolAndRead) {
    std::atomic<int> changes = 0;
    ClipboardWatch watch(DesktopSession::wayland, DesktopKind::wlroots, [&] { ++changes; });
    ASSERT_TRUE(eventually([&] { return watch.following().following; }))
        << watch.following().reason;
    for (const std::string text : {"first", "second ✓"}) {
        const int before = changes;
        ASSERT_TRUE(runWithInput("wl-copy", {}, text));
        ASSERT_TRUE(eventually([&] { return changes > before; }));
        const auto read = readClipboard(DesktopSession::wayland);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->text, text);
    }
}

TEST_F(Sway, TheAppInFrontIsFollowedThroughTheForeignToplevelProtocol) {
    std::mutex mutex;
    std::vector<std::optional<std::string>> told;
    FocusWatch watch(DesktopSession::wayland, DesktopKind::wlroots,
                     [&](const std::optional<std::string>& app) {
                         std::lock_guard lock(mutex);
                         told.push_back(app);
                     });
    const auto saw = [&](std::vector<std::optional<std::string>> expected) {
        return eventually([&] {
            std::lock_guard lock(mutex);
            return told == expected;
        });
    };
    ASSERT_TRUE(saw({std::nullopt})) << watch.following().reason;
    {
        test::ChildProcess window({"wev"});
        EXPECT_TRUE(saw({std::nullopt, "wev"}));
    }
    EXPECT_TRUE(saw({std::nullopt, "wev", std::nullopt}));
}

TEST_F(Sway, TheVirtualPointerMovesClicksAndScrollsSmoothly) {
    // The keyboard too: the window knows it is focused once the seat has one.
    const auto input = chooseInput({DesktopSession::wayland, support_.path()});
    const auto& pointer = input.pointer;
    ASSERT_EQ(pointer->backend(), PointerBackend::virtualPointer);
    test::ChildProcess observer({WAYLAND_KEY_OBSERVER});
    ASSERT_TRUE(observer.waitForLine(std::regex("ready\n"))) << observer.output();
    using Kind = PointerEvent::Kind;
    ASSERT_TRUE(pointer->apply({{Kind::move, 100, 100}, {Kind::move, -5000, -5000}}));
    ASSERT_TRUE(observer.waitForLine(std::regex("motion 0 0\n"), 3s)) << observer.output();
    ASSERT_TRUE(pointer->apply({{Kind::move, 10.5, 20},
                                {Kind::button, 0, 0, Button::right, ButtonAction::click},
                                {Kind::scroll, 0, 12.5}}));
    const auto lines = observer.linesAfter("motion 0 0", 4);
    EXPECT_EQ(lines, (std::vector<std::string>{"motion 10.5 20", "button 273 press",
                                               "button 273 release", "axis 0 12.5"}))
        << observer.output();
}

// The portal's stand-in, its keyboard and a support folder for the remembered grant.
class Portal : public ::testing::Test {
  protected:
    void start(const std::string& answer) {
        portal = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "-l", "/dev/null", "-t",
                                     PORTAL_TEMPLATE, "-p", R"({"answer": ")" + answer + R"("})"});
        ASSERT_TRUE(portal->waitForLine(std::regex("ready\n"))) << portal->output();
    }
    std::shared_ptr<Keyboard> keyboard() { return input().keyboard; }
    DesktopInput input() { return chooseInput({DesktopSession::wayland, support.path()}); }
    // The calls the portal saw, once there are `count` of them (or 5 s passed).
    std::vector<std::string> calls(std::size_t count, std::chrono::milliseconds wait = 5s) {
        return portal->linesAfter("ready", count, wait);
    }

    test::TempDir support;
    std::unique_ptr<test::ChildProcess> portal;
};

TEST_F(Portal, AsksWhenTheUserActsThenSendsKeysAndTheTouchpadAndRemembersTheGrant) {
    start("grant");
    auto both = input();
    auto first = both.keyboard;
    ASSERT_EQ(first->backend(), KeysBackend::portal);
    EXPECT_TRUE(calls(1, 300ms).empty()) << "nothing is asked at start";
    EXPECT_FALSE(first->trusted());

    // The first key press asks; the dialog's answer comes later, so that press fails.
    EXPECT_FALSE(typeText(*first, "x"));
    EXPECT_NE(first->unavailableText(KeysHelp::full).find("dialog"), std::string::npos);
    ASSERT_TRUE(eventually([&] { return first->trusted(); }));
    // One dialog for the keyboard and the pointer. A Shift tap at the grant makes the desktop's
    // keyboard device before the user's keys.
    EXPECT_EQ(calls(5), (std::vector<std::string>{
                            "CreateSession", "SelectDevices types=3 persist=2 restore=-",
                            "Start granted", "keycode 42 1", "keycode 42 0"}));
    EXPECT_TRUE(both.pointer->trusted());
    const fs::path token = support.path() / "remote-desktop.token";
    EXPECT_EQ(readWholeFile(token), "restore-1");
    EXPECT_EQ(fs::status(token).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_TRUE(typeText(*first, "Hé\xF0\x9F\x98\x80\n"));
    EXPECT_TRUE(runGesture(*first, DesktopKind::gnome, "show_desktop"));
    using Kind = PointerEvent::Kind;
    EXPECT_TRUE(both.pointer->apply({{Kind::move, 3.5, -2},
                                     {Kind::button, 0, 0, Button::left, ButtonAction::click},
                                     {Kind::scroll, 0, 40}}));
    EXPECT_EQ(portal->linesAfter("keycode 42 0", 16),
              (std::vector<std::string>{
                  "keysym 0x48 1", "keysym 0x48 0", "keysym 0xe9 1", "keysym 0xe9 0",
                  "keysym 0x101f600 1", "keysym 0x101f600 0", "keysym 0xff0d 1", "keysym 0xff0d 0",
                  // Super and d by keysym (the desktop finds them in its layout), in reverse.
                  "keysym 0xffeb 1", "keysym 0x64 1", "keysym 0x64 0", "keysym 0xffeb 0",
                  "motion 3.5 -2", "button 272 1", "button 272 0", "axis 0 40"}));

    // After a restart the remembered grant comes back without a dialog, within the first press.
    first.reset();
    both = {};
    const auto second = keyboard();
    EXPECT_TRUE(runGesture(*second, DesktopKind::gnome, "lock_screen"));
    EXPECT_EQ(calls(23).at(22), "SelectDevices types=3 persist=2 restore=restore-1");
    EXPECT_EQ(readWholeFile(token), "restore-2");
}

// A grant kept before the touchpad asked only for the keyboard: the next press asks once for
// both, with the dialog; the grant it gives is then remembered.
TEST_F(Portal, AKeyboardOnlyGrantIsAskedAgainOnceForBoth) {
    start("grant");
    std::ofstream(support.path() / "remote-desktop.token") << "restore-old";
    const auto keys = keyboard();
    EXPECT_FALSE(runGesture(*keys, DesktopKind::gnome, "show_desktop"));
    ASSERT_TRUE(eventually([&] { return keys->trusted(); }));
    EXPECT_EQ(calls(2).at(1), "SelectDevices types=3 persist=2 restore=-");
    EXPECT_EQ(readWholeFile(support.path() / "remote-desktop.devices"), "3");
}

TEST_F(Portal, ARefusalIsExplainedAndTheNextPressAsksAgain) {
    start("deny");
    const auto refused = keyboard();
    EXPECT_FALSE(runGesture(*refused, DesktopKind::gnome, "show_desktop"));
    ASSERT_TRUE(eventually([&] {
        return refused->unavailableText(KeysHelp::full).find("not allowed") != std::string::npos;
    }));
    EXPECT_FALSE(refused->trusted());
    EXPECT_FALSE(fs::exists(support.path() / "remote-desktop.token"));
    EXPECT_FALSE(typeText(*refused, "x"));
    EXPECT_EQ(calls(6).back(), "Start refused");
}

}  // namespace
}  // namespace td::host
