#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace td::host {

// One desktop command a phone can trigger. The macOS key code and modifier flags are kept as
// data for a macOS backend; on Linux `keys` is the combination sent (GNOME's own binding where
// GNOME has one; empty where it has none, so that only a user's override can make it act).
struct Gesture {
    std::string_view emoji;
    std::string_view label;
    std::uint16_t keyCode;
    std::uint64_t flags;
    std::optional<std::string_view> openApp;
    std::string_view keys;
};

// The fixed table of eight gestures, by id.
inline const std::map<std::string, Gesture, std::less<>> GESTURES = {
    {"minimize", {"\u2B07\uFE0F", "Minimize", 46, 0x100000, std::nullopt, "Super+h"}},
    {"hide_others", {"\U0001F648", "Hide others", 4, 0x180000, std::nullopt, ""}},
    {"mission_control",
     {"\U0001F5C2\uFE0F", "Mission Control", 126, 0x40000, std::nullopt, "Super"}},
    {"app_windows", {"\U0001FA9F", "App Windows", 125, 0x40000, std::nullopt, "Super+grave"}},
    {"show_desktop", {"\U0001F5A5\uFE0F", "Show Desktop", 103, 0, std::nullopt, "Super+d"}},
    {"spotlight", {"\U0001F50D", "Spotlight", 49, 0x100000, std::nullopt, "Super"}},
    {"lock_screen", {"\U0001F512", "Lock Screen", 12, 0x140000, std::nullopt, "Super+l"}},
    {"launchpad", {"\U0001F680", "Launchpad", 0, 0, "Launchpad", "Super+a"}},
};

inline bool isGesture(std::string_view id) {
    return GESTURES.find(id) != GESTURES.end();
}

}  // namespace td::host
