// Keys through the real GNOME portal: mutter, headless, as the compositor; xdg-desktop-portal
// with its GNOME backend, started by a session bus of the test's own; the grant dialog answered
// through the accessibility bus as a person would; and a window that records what arrives.
#include <gtest/gtest.h>

#include <filesystem>

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

class GnomePortal : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        runtime_ = new test::TempDir;
        ::setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
        ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
        ::unsetenv("DISPLAY");
        // A bus that starts the machine's portals and accessibility bus when asked, for the
        // same desktop.
        bus_ = new test::ChildProcess(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"},
            {"WAYLAND_DISPLAY=tapdeck-gnome"});
        const auto address = bus_->waitForLine(std::regex("(unix:[^\n]+)\n"));
        ASSERT_TRUE(address) << bus_->output();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", (*address)[1].str().c_str(), 1);
        mutter_ = new test::ChildProcess({"mutter", "--headless", "--wayland", "--no-x11",
                                          "--virtual-monitor", "1024x768",
                                          "--wayland-display=tapdeck-gnome"});
        ASSERT_TRUE(eventually([] { return fs::exists(runtime_->path() / "tapdeck-gnome"); }, 10s))
            << mutter_->output();
        ::setenv("WAYLAND_DISPLAY", "tapdeck-gnome", 1);
        // The portal starts on first use, with GNOME's backend behind it: wait for it here, as
        // a session has it running long before the agent asks (whose probe waits 3 s at most).
        const auto portal = runProcess(
            "gdbus",
            {"call", "--session", "--timeout", "60", "--dest", "org.freedesktop.portal.Desktop",
             "--object-path", "/org/freedesktop/portal/desktop", "--method",
             "org.freedesktop.DBus.Properties.Get", "org.freedesktop.portal.RemoteDesktop",
             "version"},
            {}, 65s);
        ASSERT_EQ(portal.status, 0) << portal.output;
    }
    static void TearDownTestSuite() {
        ::unsetenv("WAYLAND_DISPLAY");
        delete mutter_;
        delete bus_;  // the portals it started end with it
        delete runtime_;
    }

    static inline test::TempDir* runtime_ = nullptr;
    static inline test::ChildProcess* bus_ = nullptr;
    static inline test::ChildProcess* mutter_ = nullptr;
    test::TempDir support_;
};

TEST_F(GnomePortal, TheUsersGrantLetsKeysReachTheFocusedWindow) {
    const auto keyboard = chooseInput({DesktopSession::wayland, support_.path()}).keyboard;
    ASSERT_EQ(keyboard->backend(), KeysBackend::portal);
    test::ChildProcess observer({WAYLAND_KEY_OBSERVER});

    EXPECT_FALSE(typeText(*keyboard, "x"));  // asks: GNOME's dialog opens
    const auto answer = runProcess(
        "/usr/bin/python3",
        {ANSWER_DIALOG, "check box:Allow remote interaction", "push button:Share"}, {}, 40s);
    ASSERT_EQ(answer.status, 0) << answer.output;
    ASSERT_TRUE(eventually([&] { return keyboard->trusted(); }, 10s));
    // The window learns of the portal's keyboard once it exists.
    ASSERT_TRUE(observer.waitForLine(std::regex("ready\n"))) << observer.output();

    EXPECT_TRUE(typeText(*keyboard, "Hi Yo"));
    EXPECT_TRUE(runGesture(*keyboard, DesktopKind::gnome, "show_desktop"));  // Super+d
    // GNOME presses Shift itself for upper case, and keeps Super (its overview key) to itself
    // while passing on its state.
    const std::vector<std::string> expected = {"0 Shift_L", "1 H", "0 i", "0 space",
                                               "0 Shift_L", "1 Y", "0 o", "64 d"};
    // The Shift tap made at the grant may arrive too: only the last lines count.
    observer.waitForLine(std::regex("64 d\n"), 5s);
    const auto lines = observer.linesAfter("ready", 0, 0ms);
    ASSERT_GE(lines.size(), expected.size()) << observer.output();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - static_cast<long>(expected.size()), lines.end()),
        expected)
        << observer.output();
}

}  // namespace
}  // namespace td::host
