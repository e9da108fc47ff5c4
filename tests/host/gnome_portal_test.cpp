// Keys through the real GNOME portal: mutter, headless, as the compositor; xdg-desktop-portal
// with its GNOME backend, started by a session bus of the test's own; the grant dialog answered
// through the accessibility bus as a person would; and a window that records what arrives.
#include <atspi/atspi.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "host/input.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::eventually;

// The first accessible below `node` with this role whose name ends with `name` (GTK names a
// button "_Share Share": its mnemonic, then its label).
AtspiAccessible* find(AtspiAccessible* node, const std::string& role, const std::string& name,
                      int depth = 0) {
    if (!node || depth > 25) {
        return nullptr;
    }
    gchar* nodeRole = atspi_accessible_get_role_name(node, nullptr);
    gchar* nodeName = atspi_accessible_get_name(node, nullptr);
    const std::string actualName = nodeName ? nodeName : "";
    const bool match = nodeRole && role == nodeRole && actualName.size() >= name.size() &&
                       actualName.compare(actualName.size() - name.size(), name.size(), name) == 0;
    g_free(nodeRole);
    g_free(nodeName);
    if (match) {
        return static_cast<AtspiAccessible*>(g_object_ref(node));
    }
    const int children = atspi_accessible_get_child_count(node, nullptr);
    for (int i = 0; i < children; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
        AtspiAccessible* found = find(child, role, name, depth + 1);
        if (child) {
            g_object_unref(child);
        }
        if (found) {
            return found;
        }
    }
    return nullptr;
}

// Waits for the control to show, enabled, then acts on it (a check box only when it is not
// checked).
bool activate(const std::string& role, const std::string& name) {
    AtspiAccessible* control = nullptr;
    eventually(
        [&] {
            AtspiAccessible* desktop = atspi_get_desktop(0);
            control = find(desktop, role, name);
            g_object_unref(desktop);
            if (!control) {
                return false;
            }
            // A button the dialog has not enabled yet would ignore the press.
            AtspiStateSet* states = atspi_accessible_get_state_set(control);
            const bool sensitive = atspi_state_set_contains(states, ATSPI_STATE_SENSITIVE);
            g_object_unref(states);
            if (!sensitive) {
                g_object_unref(control);
                control = nullptr;
            }
            return control != nullptr;
        },
        15s);
    if (!control) {
        return false;
    }
    AtspiStateSet* states = atspi_accessible_get_state_set(control);
    const bool checked = atspi_state_set_contains(states, ATSPI_STATE_CHECKED);
    g_object_unref(states);
    bool done = role == "check box" && checked;
    if (!done) {
        AtspiAction* action = atspi_accessible_get_action_iface(control);
        // GTK 4 acts but may answer false: the grant itself is checked afterwards.
        done = action != nullptr;
        if (action) {
            atspi_action_do_action(action, 0, nullptr);
            g_object_unref(action);
        }
    }
    g_object_unref(control);
    return done;
}

class GnomePortal : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        runtime_ = new test::TempDir;
        ::setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
        ::setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
        ::unsetenv("DISPLAY");
        // A bus that starts the machine's portals and accessibility bus when asked.
        bus_ = new test::ChildProcess(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"});
        const auto address = bus_->waitForLine(std::regex("(unix:[^\n]+)\n"));
        ASSERT_TRUE(address) << bus_->output();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", (*address)[1].str().c_str(), 1);
        mutter_ = new test::ChildProcess({"mutter", "--headless", "--wayland", "--no-x11",
                                          "--virtual-monitor", "1024x768",
                                          "--wayland-display=tapdeck-gnome"});
        ASSERT_TRUE(eventually([] { return fs::exists(runtime_->path() / "tapdeck-gnome"); }, 10s))
            << mutter_->output();
        ::setenv("WAYLAND_DISPLAY", "tapdeck-gnome", 1);
        // The portals the bus starts must find the same desktop.
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_NE(bus, nullptr);
        GVariantBuilder environment;
        g_variant_builder_init(&environment, G_VARIANT_TYPE("a{ss}"));
        for (const char* name : {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "XDG_RUNTIME_DIR"}) {
            g_variant_builder_add(&environment, "{ss}", name, std::getenv(name));
        }
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "UpdateActivationEnvironment", g_variant_new("(a{ss})", &environment), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        ASSERT_NE(reply, nullptr);
        g_variant_unref(reply);
        // The portal starts on first use, with GNOME's backend behind it: wait for it here, as
        // a session has it running long before the agent asks (whose probe waits 3 s at most).
        reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.freedesktop.portal.RemoteDesktop", "version"), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, nullptr);
        ASSERT_NE(reply, nullptr);
        g_variant_unref(reply);
        g_object_unref(bus);
        atspi_init();
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
    ASSERT_TRUE(activate("check box", "Allow remote interaction"));
    ASSERT_TRUE(activate("push button", "Share"));
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
