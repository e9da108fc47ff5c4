#include "host/focus_watch.hpp"

#include <poll.h>
#include <wayland-client.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "common/log.hpp"
#include "host/linux/follower.hpp"
#include "host/linux/xlib_connections.hpp"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace td::host {
namespace {

using AppName = std::optional<std::string>;

// What a property of a window holds in items of `format` bits, whatever its type, read to a
// bound; empty when it holds nothing else or the window is gone (xcb hands such an error back
// with the reply, not to a handler).
std::string readProperty(xcb_connection_t* x, xcb_window_t window, xcb_atom_t property,
                         std::uint8_t format, std::uint32_t maxBytes) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        x,
        xcb_get_property(x, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, (maxBytes + 3) / 4),
        nullptr);
    if (!reply) {
        return {};
    }
    std::string value;
    if (reply->format == format) {
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply));
        value.assign(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    }
    std::free(reply);
    return value;
}

xcb_atom_t atomNamed(xcb_connection_t* x, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        x, xcb_intern_atom(x, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// WM_CLASS holds the instance name and then the class, each ended by NUL; the class names the
// program (the instance may be set per window, with -name).
std::string classOf(const std::string& wmClass) {
    const auto end = wmClass.find('\0');
    if (end == std::string::npos) {
        return {};
    }
    const std::string rest = wmClass.substr(end + 1);
    return rest.substr(0, rest.find('\0'));
}

}  // namespace

std::optional<std::string> shownAppName(std::string_view name) {
    std::string shown;
    for (const char c : name.substr(0, MAX_APP_NAME)) {
        if (c >= 0x20 && c < 0x7f) {
            shown += c;
        }
    }
    if (shown.find_first_not_of(' ') == std::string::npos) {
        return std::nullopt;
    }
    return shown;
}

struct FocusWatch::Impl {
    Impl(DesktopSession s, DesktopKind d, std::function<void(const AppName&)> c)
        : session(s), desktop(d), changed(std::move(c)) {}

    void followX11(const Follower& follower);
    void followWayland(const Follower& follower);
    void report(Following now) { status.report(std::move(now)); }
    // Tells of the app now in front when it is another than the one told last.
    void tell(const Follower& follower, const AppName& app) {
        if (told && *told == app) {
            return;
        }
        told = app;
        if (!follower.stopped()) {
            changed(app);
        }
    }

    const DesktopSession session;
    const DesktopKind desktop;
    const std::function<void(const AppName&)> changed;
    FollowingReport status{"the app in front"};
    std::optional<AppName> told;  // only on the follower's thread
    std::unique_ptr<Follower> follower;
};

void FocusWatch::Impl::followX11(const Follower& follower) {
    xcb_connection_t* x = connectToX();
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return report({false, "_NET_ACTIVE_WINDOW", "Tapdeck cannot reach the X server.",
                       "Start Tapdeck from your desktop session."});
    }
    std::optional<Follower::ShutDownOnStop> interruptible(std::in_place, follower,
                                                          xcb_get_file_descriptor(x));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const xcb_atom_t active = atomNamed(x, "_NET_ACTIVE_WINDOW");
    const xcb_atom_t appId = atomNamed(x, "_GTK_APPLICATION_ID");
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    const auto appInFront = [&]() -> AppName {
        const std::string window = readProperty(x, root, active, 32, 4);
        xcb_window_t id = XCB_WINDOW_NONE;
        if (window.size() == sizeof id) {
            std::memcpy(&id, window.data(), sizeof id);
        }
        if (id == XCB_WINDOW_NONE) {
            return std::nullopt;
        }
        // A GLib application names itself by its desktop id; any other by its window class.
        if (auto named = shownAppName(readProperty(x, id, appId, 8, MAX_APP_NAME))) {
            return named;
        }
        return shownAppName(
            classOf(readProperty(x, id, XCB_ATOM_WM_CLASS, 8, 2 * MAX_APP_NAME + 2)));
    };

    report({true, "_NET_ACTIVE_WINDOW", "", ""});
    tell(follower, appInFront());
    while (!follower.stopped() && !xcb_connection_has_error(x)) {
        // Events read along with a reply wait in xcb's queue, not on the socket: take them
        // first. A burst of focus changes is then read once, as it stands at the end.
        bool moved = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                const auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
                moved = moved || (notify->window == root && notify->atom == active);
            }
            std::free(event);
        }
        if (moved) {
            tell(follower, appInFront());
            continue;
        }
        pollfd ready[] = {{xcb_get_file_descriptor(x), POLLIN, 0}, {follower.wake(), POLLIN, 0}};
        if ((::poll(ready, 2, -1) < 0 && errno != EINTR) || ready[1].revents) {
            break;
        }
    }
    if (!follower.stopped()) {
        report({false, "_NET_ACTIVE_WINDOW", "The connection to the X server ended.",
                "Start Tapdeck again from your desktop session."});
    }
    interruptible.reset();
    xcb_disconnect(x);
}

// The toplevels a wlroots compositor tells of, and which of them is activated.
struct Toplevels {
    struct Window {
        std::string appId;
        bool activated = false;
        std::string pendingAppId;
        bool pendingActivated = false;
    };
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::uint32_t managerName = 0;
    std::map<zwlr_foreign_toplevel_handle_v1*, Window> windows;
    bool finished = false;
    bool changed = false;

    AppName inFront() const {
        for (const auto& [handle, window] : windows) {
            if (window.activated) {
                return shownAppName(window.appId);
            }
        }
        return std::nullopt;
    }

    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t version) {
        auto* self = static_cast<Toplevels*>(data);
        if (std::string_view(interface) == zwlr_foreign_toplevel_manager_v1_interface.name &&
            !self->manager) {
            self->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface,
                                 std::min(version, 3u)));
            self->managerName = name;
            static const zwlr_foreign_toplevel_manager_v1_listener LISTENER = {onToplevel,
                                                                               onFinished};
            zwlr_foreign_toplevel_manager_v1_add_listener(self->manager, &LISTENER, self);
        }
    }
    static void onGlobalRemoved(void*, wl_registry*, std::uint32_t) {}

    static void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                           zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Toplevels*>(data);
        self->windows[handle];
        static const zwlr_foreign_toplevel_handle_v1_listener LISTENER = {
            [](void*, zwlr_foreign_toplevel_handle_v1*, const char*) {},  // the title: unread
            [](void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* appId) {
                auto& window = static_cast<Toplevels*>(data)->windows[handle];
                window.pendingAppId = std::string(appId).substr(0, 4 * MAX_APP_NAME);
            },
            [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
            [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
            [](void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
                auto& window = static_cast<Toplevels*>(data)->windows[handle];
                window.pendingActivated = false;
                const auto* state = static_cast<const std::uint32_t*>(states->data);
                for (std::size_t i = 0; i < states->size / sizeof *state; ++i) {
                    window.pendingActivated =
                        window.pendingActivated ||
                        state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
                }
            },
            [](void* data, zwlr_foreign_toplevel_handle_v1* handle) {  // done: all at once
                auto* self = static_cast<Toplevels*>(data);
                auto& window = self->windows[handle];
                window.appId = window.pendingAppId;
                window.activated = window.pendingActivated;
                self->changed = true;
            },
            [](void* data, zwlr_foreign_toplevel_handle_v1* handle) {  // closed
                auto* self = static_cast<Toplevels*>(data);
                self->windows.erase(handle);
                zwlr_foreign_toplevel_handle_v1_destroy(handle);
                self->changed = true;
            },
            [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
        };
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &LISTENER, self);
    }
    static void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
        static_cast<Toplevels*>(data)->finished = true;
    }
};

void FocusWatch::Impl::followWayland(const Follower& follower) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        return report({false, "wlr-foreign-toplevel", "Tapdeck cannot reach the compositor.",
                       "Start Tapdeck from your desktop session."});
    }
    std::optional<Follower::ShutDownOnStop> interruptible(std::in_place, follower,
                                                          wl_display_get_fd(display));
    Toplevels toplevels;
    wl_registry* registry = wl_display_get_registry(display);
    static const wl_registry_listener LISTENER = {Toplevels::onGlobal, Toplevels::onGlobalRemoved};
    wl_registry_add_listener(registry, &LISTENER, &toplevels);
    if (wl_display_roundtrip(display) < 0 || !toplevels.manager) {
        const bool gnome = desktop == DesktopKind::gnome;
        const bool kde = desktop == DesktopKind::kde;
        report({false, "wlr-foreign-toplevel",
                gnome ? "GNOME on Wayland tells no program which window is in front."
                : kde ? "KWin tells only Plasma's own programs which window is in front."
                      : "This compositor does not offer the wlr foreign-toplevel protocol.",
                gnome || kde ? "Choose the X11 session when you log in (\"GNOME on Xorg\", "
                               "\"Plasma (X11)\") for pages to follow the app in front."
                             : "Use a compositor that offers it (sway, Hyprland, labwc, Wayfire) "
                               "or an X11 session."});
        wl_registry_destroy(registry);
        interruptible.reset();
        wl_display_disconnect(display);
        return;
    }
    wl_display_roundtrip(display);  // every toplevel's first state
    report({true, "wlr-foreign-toplevel", "", ""});
    tell(follower, toplevels.inFront());
    while (!follower.stopped() && !toplevels.finished) {
        wl_display_flush(display);
        pollfd ready[] = {{wl_display_get_fd(display), POLLIN, 0}, {follower.wake(), POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (ready[1].revents) {
            break;
        }
        toplevels.changed = false;
        if (wl_display_dispatch(display) < 0) {
            break;
        }
        if (toplevels.changed) {
            tell(follower, toplevels.inFront());
        }
    }
    if (!follower.stopped()) {
        report({false, "wlr-foreign-toplevel", "The connection to the compositor ended.",
                "Start Tapdeck again from your desktop session."});
    }
    for (auto& [handle, window] : toplevels.windows) {
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    }
    zwlr_foreign_toplevel_manager_v1_destroy(toplevels.manager);
    wl_registry_destroy(registry);
    interruptible.reset();
    wl_display_disconnect(display);
}

FocusWatch::FocusWatch(DesktopSession session, DesktopKind desktop,
                       std::function<void(const AppName&)> changed)
    : impl_(std::make_unique<Impl>(session, desktop, std::move(changed))) {
    Impl* impl = impl_.get();
    impl_->follower = followDesktop(
        "td-focus", session, impl_->status,
        [impl](const Follower& follower) { impl->followX11(follower); },
        [impl](const Follower& follower) { impl->followWayland(follower); });
}

FocusWatch::~FocusWatch() {
    stop();
}

void FocusWatch::stop() {
    if (impl_->follower) {
        impl_->follower->stop();
    }
}

FocusFollowing FocusWatch::following() const {
    return impl_->status.now();
}

}  // namespace td::host
