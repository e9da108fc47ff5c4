#pragma once

#include <string>

namespace td::host {

// Presses a media key: "play"/"playpause", "next", "prev"/"previous" (exact case). Sent to the
// player that is playing, else the one controlled last, else the first; false when there is no
// player or the name is unknown.
bool mediaAction(const std::string& action);

}  // namespace td::host
