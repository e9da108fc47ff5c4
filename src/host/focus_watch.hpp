#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/settings.hpp"
#include "host/following.hpp"

namespace td::host {

// The longest app name told: desktop ids and window classes are short.
inline constexpr std::size_t MAX_APP_NAME = 128;

using FocusFollowing = Following;

// Follows which app has the focus, on a thread of its own, without polling: on X11 the root
// window's _NET_ACTIVE_WINDOW (as the window manager sets it) and that window's application id
// (_GTK_APPLICATION_ID) or else its WM_CLASS; on wlroots compositors the activated toplevel's
// app id (zwlr_foreign_toplevel_manager_v1). The app is named as a page lists it, never by the
// window's title. `changed` is called on that thread with the app now in front (nothing when no
// window has the focus) whenever it is another app than before.
class FocusWatch {
  public:
    FocusWatch(DesktopSession session, DesktopKind desktop,
               std::function<void(const std::optional<std::string>&)> changed);
    ~FocusWatch();  // stops
    FocusWatch(const FocusWatch&) = delete;
    FocusWatch& operator=(const FocusWatch&) = delete;

    FocusFollowing following() const;
    // Ends following; `changed` is not called afterwards. Not undone.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// An app name as told to phones: printable ASCII only (a window class is Latin-1, and may be
// anything a program sets), at most MAX_APP_NAME bytes; nothing when none is left.
std::optional<std::string> shownAppName(std::string_view name);

}  // namespace td::host
