#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/gestures.hpp"
#include "host/keys.hpp"

namespace td::host {
namespace {

// A rebound key needs the focused client to have read the new mapping before the press, and
// the press to be read before the mapping is restored.
constexpr auto REMAP_SETTLE = std::chrono::milliseconds(6);

// Xlib's default handler ends the process on any protocol error; a failed key press must not.
int ignoreXError(Display*, XErrorEvent*) noexcept {
    return 0;
}

struct DisplayClose {
    void operator()(Display* display) const noexcept { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// One connection per action: nothing is kept that a restarted X server could invalidate.
// Key presses of two actions never interleave.
std::mutex keyboardMutex;

DisplayPtr openDisplayWithXTest() {
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] { XSetErrorHandler(ignoreXError); });
    DisplayPtr display(XOpenDisplay(nullptr));
    int event = 0, error = 0, major = 0, minor = 0;
    if (!display || !XTestQueryExtension(display.get(), &event, &error, &major, &minor)) {
        return nullptr;
    }
    return display;
}

void tap(Display* display, KeyCode code, bool press) {
    XTestFakeKeyEvent(display, code, press ? True : False, CurrentTime);
}

// "Ctrl+Alt+d" → the keycodes to hold, last one the key itself; empty when a name is unknown.
std::vector<KeyCode> parseCombination(Display* display, const std::string& combination) {
    std::vector<KeyCode> codes;
    std::size_t start = 0;
    while (start <= combination.size()) {
        const std::size_t end = std::min(combination.find('+', start), combination.size());
        std::string name = combination.substr(start, end - start);
        if (name == "Ctrl" || name == "Control") {
            name = "Control_L";
        } else if (name == "Alt") {
            name = "Alt_L";
        } else if (name == "Shift") {
            name = "Shift_L";
        } else if (name == "Super" || name == "Meta") {
            name = "Super_L";
        }
        const KeySym keysym = XStringToKeysym(name.c_str());
        const KeyCode code = keysym == NoSymbol ? 0 : XKeysymToKeycode(display, keysym);
        if (code == 0) {
            return {};
        }
        codes.push_back(code);
        start = end + 1;
    }
    return codes;
}

// The X keysym of a Unicode code point.
KeySym keysymFor(char32_t codePoint) {
    if (codePoint == '\n' || codePoint == '\r') {
        return XK_Return;
    }
    if (codePoint == '\t') {
        return XK_Tab;
    }
    if ((codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return codePoint;
    }
    return 0x01000000 + codePoint;
}

std::u32string decodeUtf8(const std::string& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

// Where the layout has the keysym: its key and whether Shift is needed.
struct Placement {
    KeyCode code = 0;
    bool shift = false;
};

Placement findInLayout(Display* display, KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (code == 0) {
        return {};
    }
    if (XkbKeycodeToKeysym(display, code, 0, 0) == keysym) {
        return {code, false};
    }
    if (XkbKeycodeToKeysym(display, code, 0, 1) == keysym) {
        return {code, true};
    }
    return {};
}

// A key with nothing bound to it, to lend to a character the layout lacks.
KeyCode findSpareKey(Display* display) {
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int perKey = 0;
    KeySym* map =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perKey);
    if (!map) {
        return 0;
    }
    KeyCode spare = 0;
    for (int code = maxCode; code >= minCode && spare == 0; --code) {
        bool empty = true;
        for (int i = 0; i < perKey && empty; ++i) {
            empty = map[(code - minCode) * perKey + i] == NoSymbol;
        }
        if (empty) {
            spare = static_cast<KeyCode>(code);
        }
    }
    XFree(map);
    return spare;
}

void pressWithShift(Display* display, Placement placement) {
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (placement.shift) {
        tap(display, shift, true);
    }
    tap(display, placement.code, true);
    tap(display, placement.code, false);
    if (placement.shift) {
        tap(display, shift, false);
    }
}

// Binds the keysym to a spare key just long enough to type it, then restores the layout.
bool typeOnSpareKey(Display* display, KeySym keysym) {
    const KeyCode spare = findSpareKey(display);
    if (spare == 0) {
        return false;
    }
    KeySym both[2] = {keysym, keysym};
    XChangeKeyboardMapping(display, spare, 2, both, 1);
    XSync(display, False);
    std::this_thread::sleep_for(REMAP_SETTLE);
    tap(display, spare, true);
    tap(display, spare, false);
    XSync(display, False);
    std::this_thread::sleep_for(REMAP_SETTLE);
    KeySym none[2] = {NoSymbol, NoSymbol};
    XChangeKeyboardMapping(display, spare, 2, none, 1);
    XSync(display, False);
    return true;
}

}  // namespace

bool accessibilityTrusted() {
    return openDisplayWithXTest() != nullptr;
}

bool runGesture(const std::string& id, const std::string& keysOverride) {
    const auto gesture = GESTURES.find(id);
    if (gesture == GESTURES.end()) {
        return false;
    }
    const std::string keys =
        keysOverride.empty() ? std::string(gesture->second.keys) : keysOverride;
    if (keys.empty()) {
        return false;
    }
    std::lock_guard lock(keyboardMutex);
    const DisplayPtr display = openDisplayWithXTest();
    if (!display) {
        return false;
    }
    const auto codes = parseCombination(display.get(), keys);
    if (codes.empty()) {
        return false;
    }
    for (KeyCode code : codes) {
        tap(display.get(), code, true);
    }
    for (auto it = codes.rbegin(); it != codes.rend(); ++it) {
        tap(display.get(), *it, false);
    }
    XSync(display.get(), False);
    return true;
}

bool typeText(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    std::lock_guard lock(keyboardMutex);
    const DisplayPtr display = openDisplayWithXTest();
    if (!display) {
        return false;
    }
    bool typedAll = true;
    for (char32_t codePoint : decodeUtf8(text)) {
        if (codePoint < 0x20 && codePoint != '\n' && codePoint != '\t') {
            continue;  // other control characters have no key
        }
        const KeySym keysym = keysymFor(codePoint);
        if (const Placement placement = findInLayout(display.get(), keysym); placement.code) {
            pressWithShift(display.get(), placement);
        } else {
            typedAll = typeOnSpareKey(display.get(), keysym) && typedAll;
        }
    }
    XSync(display.get(), False);
    return typedAll;
}

}  // namespace td::host
