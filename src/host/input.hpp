#pragma once

#include <memory>

#include "host/keys.hpp"
#include "host/pointer.hpp"

namespace td::host {

// The keyboard and the pointer of this session; one backend may serve both (the portal asks
// for both in one dialog).
struct DesktopInput {
    std::shared_ptr<Keyboard> keyboard;
    std::shared_ptr<Pointer> pointer;
};

// The backends that suit the session: XTest on X11; on Wayland the portal, else the wlroots
// virtual keyboard and pointer, else ones that refuse everything and say why. Asks the user
// nothing.
DesktopInput chooseInput(const KeyboardOptions& options);

}  // namespace td::host
