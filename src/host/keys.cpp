#include "host/keys.hpp"

#include "common/log.hpp"
#include "host/gestures.hpp"

namespace td::host {
namespace {

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

// Keys that cannot be delivered now make the desktop ask the user, as they just asked for keys.
bool haveAccess(Keyboard& keyboard) {
    return keyboard.trusted() || keyboard.requestAccess();
}

}  // namespace

std::string_view backendName(KeysBackend backend) {
    switch (backend) {
        case KeysBackend::xtest:
            return "xtest";
        case KeysBackend::portal:
            return "portal";
        case KeysBackend::virtualKeyboard:
            return "virtual-keyboard";
        case KeysBackend::none:
            break;
    }
    return "none";
}

Keysym keysymFor(char32_t codePoint) {
    constexpr Keysym RETURN = 0xFF0D, TAB = 0xFF09, UNICODE_BASE = 0x01000000;
    if (codePoint == '\n' || codePoint == '\r') {
        return RETURN;
    }
    if (codePoint == '\t') {
        return TAB;
    }
    if ((codePoint >= 0x20 && codePoint <= 0x7E) || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        return codePoint;  // Latin-1 keysyms are the code points themselves
    }
    return UNICODE_BASE + codePoint;
}

bool runGesture(Keyboard& keyboard, DesktopKind desktop, const std::string& id,
                const std::string& keysOverride) {
    const auto gesture = GESTURES.find(id);
    if (gesture == GESTURES.end()) {
        return false;
    }
    const std::string keys =
        keysOverride.empty() ? std::string(gesture->second.keys.on(desktop)) : keysOverride;
    if (keys.empty()) {
        TD_LOG(keys, "the gesture " + id + " has no key combination on this desktop");
        return false;
    }
    if (!haveAccess(keyboard)) {
        return false;
    }
    const auto combination = parseCombination(keys);
    if (!combination) {
        TD_LOG(keys, "no keys for \"" + keys + "\"");
        return false;
    }
    return keyboard.pressCombination(*combination);
}

bool pressKeys(Keyboard& keyboard, std::string_view combo) {
    const auto keys = parseKeyCombo(combo);
    return keys && haveAccess(keyboard) && keyboard.pressCombination(*keys);
}

bool typeText(Keyboard& keyboard, const std::string& text) {
    if (text.empty() || !haveAccess(keyboard)) {
        return false;
    }
    std::vector<Keysym> keysyms;
    for (char32_t codePoint : decodeUtf8(text)) {
        if (isTypeable(codePoint)) {
            keysyms.push_back(keysymFor(codePoint));
        }
    }
    return keyboard.typeKeysyms(keysyms);
}

}  // namespace td::host
