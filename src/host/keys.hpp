#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.hpp"

namespace td::host {

// Keys are X keysyms (XK_a, 0x01000000 + code point for Unicode), the same values xkbcommon
// and the desktop portal use.
using Keysym = std::uint32_t;

// How keys reach the desktop: XTest on X11; on Wayland the desktop's RemoteDesktop portal
// (GNOME, KDE) or the virtual-keyboard protocol (wlroots compositors such as sway).
enum class KeysBackend { none, xtest, portal, virtualKeyboard };
std::string_view backendName(KeysBackend backend);

// Why a key action failed, for the phone: the full advice (gestures) or its short form.
enum class KeysHelp { full, brief };

// One way of delivering keys to the desktop, chosen once when the agent starts. Its calls may
// come from any thread; the key presses of two actions never interleave.
class Keyboard {
  public:
    virtual ~Keyboard() = default;
    virtual KeysBackend backend() const = 0;
    // Keys can be delivered now: the X server is reachable, the portal granted access or the
    // compositor bound the protocol. Never asks the user anything.
    virtual bool trusted() = 0;
    // Asks the user for access where the desktop asks (the portal's dialog), without waiting
    // for the answer; true when access is there, or came back without a question (a grant the
    // desktop remembered). Only something the user did may call it.
    virtual bool requestAccess() = 0;
    // Holds the keys down in order, then releases them in reverse ("Ctrl", "Alt", "t").
    virtual bool pressCombination(const std::vector<Keysym>& keys) = 0;
    // Types each keysym as one key press, whatever the keyboard layout.
    virtual bool typeKeysyms(const std::vector<Keysym>& keysyms) = 0;
    // Why keys cannot be delivered now, and what to do about it.
    virtual std::string unavailableText(KeysHelp form) = 0;

    // From now on typing stops between characters: the agent is stopping, and a long text (a
    // minute of CJK) must hold neither its end nor the desktop.
    void stopTyping() { typingStopped_ = true; }

  protected:
    bool typingStopped() const { return typingStopped_.load(); }

  private:
    std::atomic<bool> typingStopped_{false};
};

struct KeyboardOptions {
    DesktopSession session = DesktopSession::none;
    // Where a remembered grant of the desktop's is kept.
    std::filesystem::path supportFolder;
};

// The keysyms of "Ctrl+Alt+d" (modifiers Ctrl, Alt, Shift, Super, then keys by their X keysym
// names); nothing when a name is unknown.
std::optional<std::vector<Keysym>> parseCombination(std::string_view combination);

// The keys of a combination a phone names, "ctrl+shift+t": modifiers ctrl, shift, alt and super
// (any case) and one key by its XKB keysym name ("t", "Right", "F5", "Escape", "space"; a single
// letter in either case is its lower-case key), joined by "+"; nothing for anything else.
std::optional<std::vector<Keysym>> parseKeyCombo(std::string_view combo);

// Presses such a combination by keysym in the session's layout (on AZERTY ctrl+z is Control with
// the key that types "z"). False for what parseKeyCombo refuses, or when keys cannot be
// delivered (then access is asked for, as the user just asked for keys).
bool pressKeys(Keyboard& keyboard, std::string_view combo);

// The keysym that types a code point (line feed presses Return, tab Tab).
Keysym keysymFor(char32_t codePoint);

// Presses the gesture's key combination on this desktop, or `keysOverride` when it is not
// empty. False for an unknown id, a gesture without keys, a combination with an unknown key, or
// keys that cannot be delivered (then access is asked for, as the user just asked for keys).
bool runGesture(Keyboard& keyboard, DesktopKind desktop, const std::string& id,
                const std::string& keysOverride = "");

// Types any Unicode text into the focused window. Line feeds press Return and tabs Tab; other
// control characters are skipped. False for empty text or when keys cannot be delivered.
bool typeText(Keyboard& keyboard, const std::string& text);

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
