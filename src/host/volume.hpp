#pragma once

namespace td::host {

// The output volume of the default sink, 0 to 100 (the mean of its channels); -1 when it
// cannot be read.
int getVolume();
// Clamped to 0..100; true when the sound server took it.
bool setVolume(int level);
bool isMuted();
bool setMuted(bool muted);

}  // namespace td::host
