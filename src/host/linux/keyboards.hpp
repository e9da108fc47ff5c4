#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "host/input.hpp"

// The Linux keyboards, each named after its technology; chooseInput picks one at start.
namespace td::host {

std::unique_ptr<Keyboard> makeXTestKeyboard();

// The portal's keyboard and, where it offers one, its pointer, sharing one session; empty when
// the session bus has no RemoteDesktop portal that offers a keyboard. Asks the user nothing
// until access is requested.
DesktopInput makePortalInput(const std::filesystem::path& supportFolder);

// Nothing when WAYLAND_DISPLAY cannot be reached or its compositor lacks the virtual-keyboard
// protocol.
std::unique_ptr<Keyboard> makeVirtualKeyboard();

// The keysym's name in X's and xkbcommon's spelling ("a", "eacute", "U20AC").
std::string keysymName(Keysym keysym);

}  // namespace td::host
