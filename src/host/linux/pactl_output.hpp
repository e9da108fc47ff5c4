#pragma once

#include <optional>
#include <string_view>

// Reading what pactl prints (run in the C locale).
namespace td::host::pactl {

// The mean of every "N%" in a volume line, rounded; nothing when there is none.
std::optional<int> volumePercent(std::string_view output);
// "Mute: yes" / "Mute: no".
bool muted(std::string_view output);

}  // namespace td::host::pactl
