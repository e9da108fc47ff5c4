#pragma once

#include <string>

#include "common/settings.hpp"

namespace td::host {

// "sleep" suspends the computer, "screensaver" starts the screen saver; any other name is
// false and runs nothing. True when the tool reported success.
bool systemAction(const std::string& action);

// Puts the text on the desktop's clipboard, where it stays after the call returns.
bool setClipboard(const std::string& text, DesktopSession session);

}  // namespace td::host
