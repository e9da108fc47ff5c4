// The app in front on a private X server, as a window manager names it there.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "host/focus_watch.hpp"
#include "support/eventually.hpp"

namespace td::host {
namespace {

// Plays the window manager: makes windows and says which one is active.
class WindowManager {
  public:
    WindowManager() : x_(xcb_connect(nullptr, nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(x_)).data->root;
        active_ = atom("_NET_ACTIVE_WINDOW");
    }
    ~WindowManager() { xcb_disconnect(x_); }

    xcb_window_t window(const std::string& wmClass, const std::string& appId = "") {
        const xcb_window_t id = xcb_generate_id(x_);
        xcb_create_window(x_, XCB_COPY_FROM_PARENT, id, root_, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        set(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, wmClass);
        if (!appId.empty()) {
            set(id, atom("_GTK_APPLICATION_ID"), atom("UTF8_STRING"), appId);
        }
        return id;
    }
    void set(xcb_window_t id, xcb_atom_t property, xcb_atom_t type, const std::string& value) {
        xcb_change_property(x_, XCB_PROP_MODE_REPLACE, id, property, type, 8,
                            static_cast<std::uint32_t>(value.size()), value.data());
        xcb_flush(x_);
    }
    void activate(xcb_window_t id) {
        xcb_change_property(x_, XCB_PROP_MODE_REPLACE, root_, active_, XCB_ATOM_WINDOW, 32, 1, &id);
        xcb_flush(x_);
    }
    void destroy(xcb_window_t id) {
        xcb_destroy_window(x_, id);
        xcb_flush(x_);
    }

  private:
    xcb_atom_t atom(const std::string& name) {
        auto* reply = xcb_intern_atom_reply(
            x_, xcb_intern_atom(x_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr);
        const xcb_atom_t atom = reply->atom;
        std::free(reply);
        return atom;
    }
    xcb_connection_t* x_;
    xcb_window_t root_ = 0;
    xcb_atom_t active_ = 0;
};

TEST(FocusWatch, X11NamesTheActiveWindowsAppOncePerChangeNeverItsTitle) {
    WindowManager wm;
    std::mutex mutex;
    std::vector<std::optional<std::string>> told;
    FocusWatch watch(DesktopSession::x11, DesktopKind::other,
                     [&](const std::optional<std::string>& app) {
                         std::lock_guard lock(mutex);
                         told.push_back(app);
                     });
    ASSERT_TRUE(test::eventually([&] { return watch.following().following; }));
    const auto saw = [&](std::vector<std::optional<std::string>> expected) {
        return test::eventually([&] {
            std::lock_guard lock(mutex);
            return told == expected;
        });
    };
    ASSERT_TRUE(saw({std::nullopt}));
    const xcb_window_t editor = wm.window(std::string("code\0Code\0", 10));
    const xcb_window_t editor2 = wm.window(std::string("code\0Code\0", 10));
    const xcb_window_t terminal =
        wm.window(std::string("gnome-terminal-server\0Gnome-terminal\0", 37), "org.gnome.Terminal");
    const xcb_window_t binary =
        wm.window(std::string("x\0\x01\xff", 4) + std::string(5000, 'A') + std::string(1, '\0'));
    wm.activate(editor);
    ASSERT_TRUE(saw({std::nullopt, "Code"}));
    wm.activate(editor2);  // the same app: not a change
    wm.activate(terminal);
    ASSERT_TRUE(saw({std::nullopt, "Code", "org.gnome.Terminal"}));
    wm.activate(binary);
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard lock(mutex);
        return told.size() == 4;
    }));
    wm.destroy(editor);
    wm.activate(editor);  // a window already gone is no app
    ASSERT_TRUE(saw({std::nullopt, "Code", "org.gnome.Terminal", told[3], std::nullopt}));
    // Of a class of any size and bytes: its printable part, within the bound.
    EXPECT_EQ(told[3], std::string(MAX_APP_NAME - 2, 'A'));
}

}  // namespace
}  // namespace td::host
