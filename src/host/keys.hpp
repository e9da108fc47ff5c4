#pragma once

#include <string>

namespace td::host {

// True when synthetic key presses can reach the desktop: an X display is reachable and offers
// the XTEST extension. (Wayland sessions do not let a program type into others.)
bool accessibilityTrusted();

// Presses the gesture's key combination, or `keysOverride` when it is not empty ("Ctrl+Alt+d":
// modifiers Ctrl, Alt, Shift, Super, then one key by its X keysym name). False for an unknown
// id, a gesture without keys, or no display.
bool runGesture(const std::string& id, const std::string& keysOverride = "");

// Types any Unicode text into the focused window: characters the keyboard layout lacks are
// bound to a spare key for the moment they are typed. Line feeds press Return and tabs Tab.
// Other control characters are skipped. False for empty text or without a display.
bool typeText(const std::string& text);

// The characters typing sends: line feed, tab and everything printable. The C0 and C1 control
// characters and DEL are never typed: in a terminal they are commands (DEL erases, C1's CSI
// starts an escape sequence), not text.
constexpr bool isTypeable(char32_t codePoint) {
    if (codePoint == '\n' || codePoint == '\t') {
        return true;
    }
    return codePoint >= 0x20 && codePoint != 0x7F && !(codePoint >= 0x80 && codePoint <= 0x9F);
}

}  // namespace td::host
