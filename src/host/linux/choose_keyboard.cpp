#include <xkbcommon/xkbcommon.h>

#include <map>
#include <memory>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/keyboards.hpp"

namespace td::host {
namespace {

// A session in which no backend can deliver keys: every key is refused, and the advice says
// what would make them work.
class NoKeyboard final : public Keyboard {
  public:
    explicit NoKeyboard(DesktopSession session) : session_(session) {}
    KeysBackend backend() const override { return KeysBackend::none; }
    bool trusted() override { return false; }
    bool requestAccess() override { return false; }
    bool pressCombination(const std::vector<Keysym>&) override { return false; }
    bool typeKeysyms(const std::vector<Keysym>&) override { return false; }

    std::string unavailableText(KeysHelp form) override {
        if (session_ == DesktopSession::none) {
            return form == KeysHelp::brief
                       ? "Tapdeck runs without a desktop session, so it cannot send keys."
                       : "Tapdeck runs without a desktop session, so it cannot send keys: start "
                         "it from your desktop (it starts there at login), then try again.";
        }
        return form == KeysHelp::brief
                   ? "This Wayland desktop lets no program send keys."
                   : "This Wayland desktop lets no program send keys: install your desktop's "
                     "portal (xdg-desktop-portal-gnome or xdg-desktop-portal-kde) and log in "
                     "again, or choose an X11 session at login, then try again.";
    }

  private:
    const DesktopSession session_;
};

struct KeymapFree {
    void operator()(xkb_keymap* keymap) const noexcept { xkb_keymap_unref(keymap); }
};

// keysym → evdev code on the default layout, the lowest shift level winning.
std::map<Keysym, int> defaultLayoutCodes() {
    std::map<Keysym, int> codes;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!context) {
        return codes;
    }
    const std::unique_ptr<xkb_keymap, KeymapFree> keymap(
        xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS));
    xkb_context_unref(context);
    if (!keymap) {
        TD_LOG(keys, "no default keyboard layout could be compiled");
        return codes;
    }
    constexpr int EVDEV_OFFSET = 8;  // XKB key codes are the kernel's plus 8
    for (xkb_level_index_t level = 0; level < 2; ++level) {
        const xkb_keycode_t last = xkb_keymap_max_keycode(keymap.get());
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= last; ++code) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), code, 0, level, &syms);
            for (int i = 0; i < count; ++i) {
                codes.emplace(syms[i], static_cast<int>(code) - EVDEV_OFFSET);
            }
        }
    }
    return codes;
}

}  // namespace

std::unique_ptr<Keyboard> chooseKeyboard(const KeyboardOptions& options) {
    if (options.session == DesktopSession::x11) {
        return makeXTestKeyboard();
    }
    if (options.session == DesktopSession::wayland) {
        if (auto portal = makePortalKeyboard(options.supportFolder)) {
            return portal;
        }
        if (auto virtualKeyboard = makeVirtualKeyboard()) {
            return virtualKeyboard;
        }
        TD_LOG(keys, "neither a RemoteDesktop portal nor the virtual-keyboard protocol is there");
    }
    return std::make_unique<NoKeyboard>(options.session);
}

std::optional<std::vector<Keysym>> parseCombination(std::string_view combination) {
    static const std::map<std::string_view, std::string_view> MODIFIER_KEYS = {
        {"Ctrl", "Control_L"}, {"Control", "Control_L"}, {"Alt", "Alt_L"},
        {"Shift", "Shift_L"},  {"Super", "Super_L"},     {"Meta", "Super_L"}};
    std::vector<Keysym> keys;
    std::size_t start = 0;
    while (start <= combination.size()) {
        const std::size_t end = std::min(combination.find('+', start), combination.size());
        std::string name(combination.substr(start, end - start));
        if (const auto modifier = MODIFIER_KEYS.find(name); modifier != MODIFIER_KEYS.end()) {
            name = modifier->second;
        }
        const xkb_keysym_t keysym = xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS);
        if (keysym == XKB_KEY_NoSymbol) {
            return std::nullopt;
        }
        keys.push_back(keysym);
        start = end + 1;
    }
    return keys;
}

std::string keysymName(Keysym keysym) {
    char name[64];
    return xkb_keysym_get_name(keysym, name, sizeof name) > 0 ? name : "";
}

int evdevCodeOf(Keysym keysym) {
    static const std::map<Keysym, int> CODES = defaultLayoutCodes();
    const auto code = CODES.find(keysym);
    return code == CODES.end() ? 0 : code->second;
}

}  // namespace td::host
