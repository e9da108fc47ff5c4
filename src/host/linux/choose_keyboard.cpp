#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/keyboards.hpp"
#include "host/linux/pointers.hpp"

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

// A session in which no backend can drive the pointer.
class NoPointer final : public Pointer {
  public:
    explicit NoPointer(DesktopSession session) : session_(session) {}
    PointerBackend backend() const override { return PointerBackend::none; }
    bool trusted() override { return false; }
    bool requestAccess() override { return false; }
    bool apply(const std::vector<PointerEvent>&) override { return false; }

    std::string unavailableText() override {
        return session_ == DesktopSession::none
                   ? "Tapdeck runs without a desktop session, so it cannot move the pointer."
                   : "This Wayland desktop lets no program move the pointer.";
    }

  private:
    const DesktopSession session_;
};

}  // namespace

DesktopInput chooseInput(const KeyboardOptions& options) {
    DesktopInput input;
    if (options.session == DesktopSession::x11) {
        input = {makeXTestKeyboard(), makeXTestPointer()};
    } else if (options.session == DesktopSession::wayland) {
        input = makePortalInput(options.supportFolder);
        if (!input.keyboard) {
            input.keyboard = makeVirtualKeyboard();
        }
        if (!input.pointer) {
            input.pointer = makeVirtualPointer();
        }
        if (!input.keyboard) {
            TD_LOG(keys,
                   "neither a RemoteDesktop portal nor the virtual-keyboard protocol is there");
        }
    }
    if (!input.keyboard) {
        input.keyboard = std::make_shared<NoKeyboard>(options.session);
    }
    if (!input.pointer) {
        input.pointer = std::make_shared<NoPointer>(options.session);
    }
    return input;
}

namespace {

// The keysym of a name; none unless the name is letters, digits and underscores, as every
// keysym name is (a NUL would end it early, and the rest would pass unseen).
xkb_keysym_t keysymNamed(const std::string& name) {
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_';
    });
    return plain ? xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS) : XKB_KEY_NoSymbol;
}

}  // namespace

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
        const xkb_keysym_t keysym = keysymNamed(name);
        if (keysym == XKB_KEY_NoSymbol) {
            return std::nullopt;
        }
        keys.push_back(keysym);
        start = end + 1;
    }
    return keys;
}

std::optional<std::vector<Keysym>> parseKeyCombo(std::string_view combo) {
    constexpr std::size_t MAX_COMBO_TEXT = 64;
    static const std::map<std::string, Keysym> MODIFIERS = {{"ctrl", XKB_KEY_Control_L},
                                                            {"shift", XKB_KEY_Shift_L},
                                                            {"alt", XKB_KEY_Alt_L},
                                                            {"super", XKB_KEY_Super_L}};
    if (combo.empty() || combo.size() > MAX_COMBO_TEXT) {
        return std::nullopt;
    }
    std::vector<Keysym> keys;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = combo.find('+', start);
        const std::string name(
            combo.substr(start, plus == std::string_view::npos ? plus : plus - start));
        if (plus == std::string_view::npos) {  // the key itself, last
            xkb_keysym_t key = keysymNamed(name);
            if (key == XKB_KEY_NoSymbol) {
                return std::nullopt;
            }
            if (name.size() == 1) {
                key = xkb_keysym_to_lower(key);
            }
            keys.push_back(key);
            return keys;
        }
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto modifier = MODIFIERS.find(lower);
        if (modifier == MODIFIERS.end() ||
            std::find(keys.begin(), keys.end(), modifier->second) != keys.end()) {
            return std::nullopt;
        }
        keys.push_back(modifier->second);
        start = plus + 1;
    }
}

std::string keysymName(Keysym keysym) {
    char name[64];
    return xkb_keysym_get_name(keysym, name, sizeof name) > 0 ? name : "";
}

}  // namespace td::host
