#include "host/process.hpp"
#include "host/system.hpp"

namespace td::host {

bool systemAction(const std::string& action) {
    if (action == "sleep") {
        return runProcess("systemctl", {"suspend"}).status == 0;
    }
    if (action == "screensaver") {
        return runProcess("xdg-screensaver", {"activate"}).status == 0;
    }
    return false;
}

bool setClipboard(const std::string& text, DesktopSession session) {
    if (session == DesktopSession::wayland) {
        return runWithInput("wl-copy", {}, text);
    }
    // xclip keeps serving the selection from a child of its own after it exits.
    return runWithInput("xclip", {"-selection", "clipboard"}, text);
}

}  // namespace td::host
