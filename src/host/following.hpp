#pragma once

#include <string>

namespace td::host {

// How following something of the desktop's goes: which way, or why it does not.
struct Following {
    bool following = false;
    std::string how;     // "XFixes", "wl-paste --watch", "_NET_ACTIVE_WINDOW"...
    std::string reason;  // why not, when not
    std::string fix;     // what would make it work
};

}  // namespace td::host
