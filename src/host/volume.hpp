#pragma once

#include <optional>
#include <string_view>

namespace td::host {

// The output volume of the default sink, 0 to 100 (the mean of its channels); -1 when it
// cannot be read.
int getVolume();
// Clamped to 0..100; true when the sound server took it.
bool setVolume(int level);
bool isMuted();
bool setMuted(bool muted);

// The mean of every "N%" in pactl's volume line, rounded; nothing when there is none.
std::optional<int> parseVolumePercent(std::string_view pactlOutput);
// pactl's "Mute: yes" / "Mute: no".
bool parseMuted(std::string_view pactlOutput);

}  // namespace td::host
