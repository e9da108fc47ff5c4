#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/settings.hpp"

namespace td::host {

// The key combination of a gesture on each family of desktop: its own default binding for the
// command, or empty where it has none (then only a user's override makes the gesture act).
// Other desktops take GNOME's.
struct GestureKeys {
    std::string_view gnome;
    std::string_view kde;
    std::string_view wlroots;  // sway's default configuration

    std::string_view on(DesktopKind desktop) const {
        switch (desktop) {
            case DesktopKind::kde:
                return kde;
            case DesktopKind::wlroots:
                return wlroots;
            case DesktopKind::gnome:
            case DesktopKind::other:
                break;
        }
        return gnome;
    }
};

// One desktop command a phone can trigger. The macOS key code and modifier flags are kept as
// data for a macOS backend; on Linux `keys` are the combinations sent.
struct Gesture {
    std::string_view emoji;
    std::string_view label;
    std::uint16_t keyCode;
    std::uint64_t flags;
    std::optional<std::string_view> openApp;
    GestureKeys keys;
};

// The fixed table of eight gestures, by id.
inline const std::map<std::string, Gesture, std::less<>> GESTURES = {
    {"minimize",
     {"\u2B07\uFE0F",
      "Minimize",
      46,
      0x100000,
      std::nullopt,
      {"Super+h", "Super+Next", "Super+minus"}}},
    {"hide_others", {"\U0001F648", "Hide others", 4, 0x180000, std::nullopt, {"", "", ""}}},
    {"mission_control",
     {"\U0001F5C2\uFE0F", "Mission Control", 126, 0x40000, std::nullopt, {"Super", "Super+w", ""}}},
    {"app_windows",
     {"\U0001FA9F", "App Windows", 125, 0x40000, std::nullopt, {"Super+grave", "Ctrl+F7", ""}}},
    {"show_desktop",
     {"\U0001F5A5\uFE0F", "Show Desktop", 103, 0, std::nullopt, {"Super+d", "Super+d", ""}}},
    {"spotlight",
     {"\U0001F50D", "Spotlight", 49, 0x100000, std::nullopt, {"Super", "Alt+space", "Super+d"}}},
    {"lock_screen",
     {"\U0001F512", "Lock Screen", 12, 0x140000, std::nullopt, {"Super+l", "Super+l", ""}}},
    {"launchpad", {"\U0001F680", "Launchpad", 0, 0, "Launchpad", {"Super+a", "Alt+F1", "Super+d"}}},
};

inline bool isGesture(std::string_view id) {
    return GESTURES.find(id) != GESTURES.end();
}

}  // namespace td::host
