#pragma once

#include <optional>
#include <string>
#include <string_view>

// Reading what pactl prints (run in the C locale).
namespace td::host::pactl {

// The mean of every "N%" in a volume line, rounded; nothing when there is none.
std::optional<int> volumePercent(std::string_view output);
// "Mute: yes" / "Mute: no".
bool muted(std::string_view output);
// A "Field: value" line of `pactl info`.
std::optional<std::string> infoField(std::string_view output, std::string_view field);

}  // namespace td::host::pactl
