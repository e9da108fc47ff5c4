#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "host/linux/keyboards.hpp"
#include "host/linux/xlib_connections.hpp"

namespace td::host {
namespace {

// Borrowed keys need the focused client to have seen the new mapping before the presses, and to
// have read the presses before the mapping is restored (measured: without waits clients read
// the restored map and type nothing).
constexpr auto BEFORE_BORROWED_KEYS = std::chrono::milliseconds(20);
constexpr auto AFTER_BORROWED_KEYS = std::chrono::milliseconds(50);

// Xlib's default handler ends the process on any protocol error; a failed key press must not.
int ignoreXError(Display*, XErrorEvent*) noexcept {
    return 0;
}

struct DisplayClose {
    void operator()(Display* display) const noexcept {
        std::lock_guard lock(xlibConnections());
        XCloseDisplay(display);
    }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// One connection per action: nothing is kept that a restarted X server could invalidate.
DisplayPtr openDisplayWithXTest() {
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] { XSetErrorHandler(ignoreXError); });
    std::unique_lock lock(xlibConnections());
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        TD_LOG(keys, "cannot open the X display");
        return nullptr;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    const bool hasXTest = XTestQueryExtension(display.get(), &event, &error, &major, &minor);
    lock.unlock();  // the display's deleter takes it again
    if (!hasXTest) {
        TD_LOG(keys, "the X server has no XTEST extension");
        return nullptr;
    }
    return display;
}

void tap(Display* display, KeyCode code, bool press) {
    XTestFakeKeyEvent(display, code, press ? True : False, CurrentTime);
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

// Keys with nothing bound to them, to lend to characters the layout lacks.
std::vector<KeyCode> findSpareKeys(Display* display) {
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int perKey = 0;
    KeySym* map =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perKey);
    std::vector<KeyCode> spare;
    if (!map) {
        return spare;
    }
    for (int code = maxCode; code >= minCode; --code) {
        bool empty = true;
        for (int i = 0; i < perKey && empty; ++i) {
            empty = map[(code - minCode) * perKey + i] == NoSymbol;
        }
        if (empty) {
            spare.push_back(static_cast<KeyCode>(code));
        }
    }
    XFree(map);
    return spare;
}

void bindKey(Display* display, KeyCode code, KeySym keysym) {
    KeySym both[2] = {keysym, keysym};
    XChangeKeyboardMapping(display, code, 2, both, 1);
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

// Types keysyms[from, to), lending spare keys to the ones the layout lacks; returns where it
// stopped (earlier than `to` when it ran out of spare keys).
std::size_t typeRun(Display* display, const std::vector<KeySym>& keysyms, std::size_t from,
                    const std::vector<KeyCode>& spare) {
    std::vector<std::pair<KeySym, KeyCode>> borrowed;
    auto borrowedKey = [&](KeySym keysym) -> KeyCode {
        for (const auto& [bound, code] : borrowed) {
            if (bound == keysym) {
                return code;
            }
        }
        return 0;
    };
    std::size_t to = from;
    for (; to < keysyms.size(); ++to) {
        const KeySym keysym = keysyms[to];
        if (findInLayout(display, keysym).code || borrowedKey(keysym)) {
            continue;
        }
        if (borrowed.size() == spare.size()) {
            break;
        }
        borrowed.emplace_back(keysym, spare[borrowed.size()]);
    }
    for (const auto& [keysym, code] : borrowed) {
        bindKey(display, code, keysym);
    }
    if (!borrowed.empty()) {
        XSync(display, False);
        std::this_thread::sleep_for(BEFORE_BORROWED_KEYS);
    }
    for (std::size_t i = from; i < to; ++i) {
        if (const Placement placement = findInLayout(display, keysyms[i]); placement.code) {
            pressWithShift(display, placement);
        } else {
            const KeyCode code = borrowedKey(keysyms[i]);
            tap(display, code, true);
            tap(display, code, false);
        }
    }
    XSync(display, False);
    if (!borrowed.empty()) {
        std::this_thread::sleep_for(AFTER_BORROWED_KEYS);
        for (const auto& [keysym, code] : borrowed) {
            bindKey(display, code, NoSymbol);
        }
        XSync(display, False);
    }
    return to;
}

// X11: XTest presses keys as if on the keyboard of the X server.
class XTestKeyboard final : public Keyboard {
  public:
    KeysBackend backend() const override { return KeysBackend::xtest; }
    bool trusted() override { return openDisplayWithXTest() != nullptr; }
    bool requestAccess() override { return trusted(); }  // nothing to ask for on X11

    bool pressCombination(const std::vector<Keysym>& keys) override {
        std::lock_guard lock(mutex_);
        const DisplayPtr display = openDisplayWithXTest();
        if (!display) {
            return false;
        }
        std::vector<KeyCode> codes;
        for (Keysym keysym : keys) {
            const KeyCode code = XKeysymToKeycode(display.get(), keysym);
            if (code == 0) {
                TD_LOG(keys, "the X keyboard has no key for a key of the combination");
                return false;
            }
            codes.push_back(code);
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

    bool typeKeysyms(const std::vector<Keysym>& text) override {
        std::lock_guard lock(mutex_);
        const DisplayPtr display = openDisplayWithXTest();
        if (!display) {
            return false;
        }
        const std::vector<KeySym> keysyms(text.begin(), text.end());
        const std::vector<KeyCode> spare = findSpareKeys(display.get());
        bool typedAll = true;
        for (std::size_t at = 0; at < keysyms.size() && !typingStopped();) {
            const std::size_t next = typeRun(display.get(), keysyms, at, spare);
            if (next == at) {  // no spare key at all for this character
                typedAll = false;
                ++at;
            } else {
                at = next;
            }
        }
        XSync(display.get(), False);
        return typedAll && !typingStopped();
    }

    std::string unavailableText(KeysHelp form) override {
        if (form == KeysHelp::brief) {
            return "Tapdeck cannot reach the X server to send keys.";
        }
        return "Tapdeck cannot send keys: the X server of this desktop cannot be reached or lacks "
               "the XTEST extension. Restart Tapdeck from the desktop session, then try again.";
    }

  private:
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Keyboard> makeXTestKeyboard() {
    // Workers open displays at once (a burst of typing): Xlib's shared tables need its own
    // locks, which must be on before any other call into it, and this is the first.
    xlibThreadsOn();
    return std::make_unique<XTestKeyboard>();
}

}  // namespace td::host
