#pragma once

#include <string>

namespace td::host {

// Presses a media key: "play"/"playpause", "next", "prev"/"previous" (exact case). Sent to
// `player` (a bus name) when given, else to the player that is playing, else the first; false
// when there is no such player or the name is unknown.
bool mediaAction(const std::string& action, const std::string& player = {});

}  // namespace td::host
