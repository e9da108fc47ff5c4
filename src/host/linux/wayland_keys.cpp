#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/keyboards.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace td::host {
namespace {

// Key codes 9 to 255: the range every client accepts (X clients through Xwayland included), so
// a keymap carries at most this many keys and longer texts take several keymaps.
constexpr std::uint32_t FIRST_KEYCODE = 9;
constexpr std::uint32_t LAST_KEYCODE = 255;
constexpr std::size_t KEYS_PER_KEYMAP = LAST_KEYCODE - FIRST_KEYCODE + 1;
constexpr std::uint32_t EVDEV_OFFSET = 8;  // the protocol's key codes are XKB's minus 8
constexpr std::uint32_t KEYMAP_FORMAT_XKB_V1 = 1;

// The real modifier of a modifier key, as a bit of the modifier mask; 0 for other keys.
struct ModifierKey {
    const char* keysymName;
    const char* modifier;
    std::uint32_t mask;
};
constexpr ModifierKey MODIFIER_KEYS[] = {
    {"Shift_L", "Shift", 1u << 0},     {"Shift_R", "Shift", 1u << 0},
    {"Control_L", "Control", 1u << 2}, {"Control_R", "Control", 1u << 2},
    {"Alt_L", "Mod1", 1u << 3},        {"Alt_R", "Mod1", 1u << 3},
    {"Super_L", "Mod4", 1u << 6},      {"Super_R", "Mod4", 1u << 6},
};

const ModifierKey* modifierKey(Keysym keysym) {
    const std::string name = keysymName(keysym);
    for (const ModifierKey& key : MODIFIER_KEYS) {
        if (name == key.keysymName) {
            return &key;
        }
    }
    return nullptr;
}

// A keymap with one key per keysym, each on the first level (so no Shift is needed for upper
// case), and every modifier key mapped to its real modifier: GTK tells Super+d from d only when
// Super_L is Mod4.
std::string keymapFor(const std::vector<Keysym>& keys) {
    std::string codes, symbols;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string code = "<K" + std::to_string(FIRST_KEYCODE + i) + ">";
        codes += "    " + code + " = " + std::to_string(FIRST_KEYCODE + i) + ";\n";
        symbols += "    key " + code + " { [ " + keysymName(keys[i]) + " ] };\n";
        if (const ModifierKey* modifier = modifierKey(keys[i])) {
            symbols +=
                "    modifier_map " + std::string(modifier->modifier) + " { " + code + " };\n";
        }
    }
    return "xkb_keymap {\n"
           "  xkb_keycodes \"tapdeck\" {\n    minimum = 8;\n    maximum = 255;\n" +
           codes +
           "  };\n"
           "  xkb_types \"tapdeck\" { include \"complete\" };\n"
           "  xkb_compatibility \"tapdeck\" { include \"complete\" };\n"
           "  xkb_symbols \"tapdeck\" {\n" +
           symbols + "  };\n};\n";
}

std::uint32_t milliseconds() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// wlroots compositors: a virtual keyboard of our own on the compositor's seat. It lives as long
// as the agent: a keyboard made just before a key press can lose that press.
class VirtualKeyboard final : public Keyboard {
  public:
    ~VirtualKeyboard() override { disconnectLocked(); }

    // False when the compositor cannot be reached or lacks the protocol.
    bool connect() {
        std::lock_guard lock(mutex_);
        return connectLocked();
    }

    KeysBackend backend() const override { return KeysBackend::virtualKeyboard; }

    bool trusted() override {
        std::lock_guard lock(mutex_);
        return usableLocked();
    }
    bool requestAccess() override { return trusted(); }  // the protocol asks nobody

    bool pressCombination(const std::vector<Keysym>& keys) override {
        std::lock_guard lock(mutex_);
        if (keys.empty() || keys.size() > KEYS_PER_KEYMAP || !usableLocked() ||
            !uploadKeymapLocked(keys)) {
            return false;
        }
        std::uint32_t mask = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            sendKeyLocked(i, true);
            if (const ModifierKey* modifier = modifierKey(keys[i])) {
                mask |= modifier->mask;
                zwp_virtual_keyboard_v1_modifiers(keyboard_, mask, 0, 0, 0);
            }
        }
        for (std::size_t i = keys.size(); i-- > 0;) {
            sendKeyLocked(i, false);
            if (const ModifierKey* modifier = modifierKey(keys[i])) {
                mask &= ~modifier->mask;
                zwp_virtual_keyboard_v1_modifiers(keyboard_, mask, 0, 0, 0);
            }
        }
        return wl_display_roundtrip(display_) >= 0;
    }

    bool typeKeysyms(const std::vector<Keysym>& keysyms) override {
        std::lock_guard lock(mutex_);
        if (!usableLocked()) {
            return false;
        }
        for (std::size_t at = 0; at < keysyms.size() && !typingStopped();) {
            // The keys of one keymap: the next distinct keysyms, as many as fit.
            std::vector<Keysym> keys;
            std::size_t end = at;
            for (; end < keysyms.size(); ++end) {
                if (std::find(keys.begin(), keys.end(), keysyms[end]) == keys.end()) {
                    if (keys.size() == KEYS_PER_KEYMAP) {
                        break;
                    }
                    keys.push_back(keysyms[end]);
                }
            }
            if (!uploadKeymapLocked(keys)) {
                return false;
            }
            for (; at < end; ++at) {
                const auto key = static_cast<std::size_t>(
                    std::find(keys.begin(), keys.end(), keysyms[at]) - keys.begin());
                sendKeyLocked(key, true);
                sendKeyLocked(key, false);
            }
        }
        return wl_display_roundtrip(display_) >= 0 && !typingStopped();
    }

    std::string unavailableText(KeysHelp form) override {
        return form == KeysHelp::brief
                   ? "Tapdeck lost the connection to the Wayland compositor."
                   : "Tapdeck lost the connection to the Wayland compositor: restart Tapdeck "
                     "from the desktop session, then try again.";
    }

  private:
    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t) noexcept {
        auto* self = static_cast<VirtualKeyboard*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
            self->manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        }
    }
    static void onGlobalRemoved(void*, wl_registry*, std::uint32_t) noexcept {}

    bool connectLocked() {
        display_ = wl_display_connect(nullptr);
        if (!display_) {
            TD_LOG(keys, "cannot connect to the Wayland compositor");
            return false;
        }
        static const wl_registry_listener LISTENER = {onGlobal, onGlobalRemoved};
        registry_ = wl_display_get_registry(display_);
        wl_registry_add_listener(registry_, &LISTENER, this);
        if (wl_display_roundtrip(display_) < 0 || !seat_ || !manager_) {
            TD_LOG(keys, "the Wayland compositor offers no virtual keyboard");
            disconnectLocked();
            return false;
        }
        keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
        // A keymap from the start: the compositor refuses keys until there is one.
        if (!uploadKeymapLocked({0xFFE3 /* Control_L */}) || wl_display_roundtrip(display_) < 0) {
            TD_LOG(keys, "the Wayland compositor refused our virtual keyboard");
            disconnectLocked();
            return false;
        }
        return true;
    }

    void disconnectLocked() {
        if (keyboard_) {
            zwp_virtual_keyboard_v1_destroy(keyboard_);
        }
        if (manager_) {
            zwp_virtual_keyboard_manager_v1_destroy(manager_);
        }
        if (seat_) {
            wl_seat_destroy(seat_);
        }
        if (registry_) {
            wl_registry_destroy(registry_);
        }
        if (display_) {
            wl_display_disconnect(display_);
        }
        keyboard_ = nullptr;
        manager_ = nullptr;
        seat_ = nullptr;
        registry_ = nullptr;
        display_ = nullptr;
    }

    // A compositor that restarted (or a connection it closed) is connected to again.
    bool usableLocked() {
        if (display_ && wl_display_get_error(display_) == 0) {
            return true;
        }
        disconnectLocked();
        return connectLocked();
    }

    bool uploadKeymapLocked(const std::vector<Keysym>& keys) {
        const std::string keymap = keymapFor(keys);
        const int fd = ::memfd_create("tapdeck-keymap", MFD_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        // The compositor maps the file and reads a C string: the size counts the final NUL.
        const bool written = ::write(fd, keymap.c_str(), keymap.size() + 1) ==
                             static_cast<ssize_t>(keymap.size() + 1);
        if (written) {
            zwp_virtual_keyboard_v1_keymap(keyboard_, KEYMAP_FORMAT_XKB_V1, fd,
                                           static_cast<std::uint32_t>(keymap.size() + 1));
        }
        ::close(fd);  // the request holds its own copy of the descriptor
        return written;
    }

    void sendKeyLocked(std::size_t index, bool press) {
        const auto code = static_cast<std::uint32_t>(FIRST_KEYCODE + index) - EVDEV_OFFSET;
        zwp_virtual_keyboard_v1_key(keyboard_, milliseconds(), code, press ? 1 : 0);
    }

    std::mutex mutex_;
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
};

}  // namespace

std::unique_ptr<Keyboard> makeVirtualKeyboard() {
    auto keyboard = std::make_unique<VirtualKeyboard>();
    return keyboard->connect() ? std::move(keyboard) : nullptr;
}

}  // namespace td::host
