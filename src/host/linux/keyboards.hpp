#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "host/keys.hpp"

// The Linux keyboards, each named after its technology; chooseKeyboard picks one at start.
namespace td::host {

std::unique_ptr<Keyboard> makeXTestKeyboard();

// Nothing when the session bus has no RemoteDesktop portal that offers a keyboard. Asks the
// user nothing until access is requested.
std::unique_ptr<Keyboard> makePortalKeyboard(const std::filesystem::path& supportFolder);

// Nothing when WAYLAND_DISPLAY cannot be reached or its compositor lacks the virtual-keyboard
// protocol.
std::unique_ptr<Keyboard> makeVirtualKeyboard();

// The keysym's name in X's and xkbcommon's spelling ("a", "eacute", "U20AC").
std::string keysymName(Keysym keysym);

// The Linux input event code (KEY_*) of the key that carries the keysym on the default keyboard
// layout (XKB_DEFAULT_LAYOUT, else US); 0 when no key does.
int evdevCodeOf(Keysym keysym);

}  // namespace td::host
