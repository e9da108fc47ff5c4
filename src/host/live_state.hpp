#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace td::host {

// What one media player on the desktop says it is doing.
struct PlayerState {
    std::string id;      // its bus name, the handle to control it by
    std::string name;    // what it calls itself ("mpv", "Firefox")
    std::string status;  // "Playing", "Paused" or "Stopped"
    std::string title;
    std::string artist;  // the artists, joined by ", "
    std::string album;
    std::optional<double> length;    // seconds
    std::optional<double> position;  // seconds, when asked for
    std::string artUrl;              // as the player gave it: file:// or https://, or empty

    // Equal as the phone sees it: the position moves all the time and is not pushed.
    bool sameShownState(const PlayerState& other) const {
        return id == other.id && name == other.name && status == other.status &&
               title == other.title && artist == other.artist && album == other.album &&
               length == other.length && artUrl == other.artUrl;
    }
};

struct VolumeState {
    int level = -1;  // 0 to 100
    bool muted = false;
    bool operator==(const VolumeState&) const = default;
};

// Follows the desktop's media players and its sound server as they change, on a thread of its
// own: the players by their bus names coming and going and their property changes, the sound
// server by its event subscription; no polling. A burst of changes (a new track changes title,
// artist, art and length one by one) is told once, shortly after it began.
class LiveState {
  public:
    struct Listener {
        // The active player's shown state changed; nothing when no player is left.
        std::function<void(const std::optional<PlayerState>&)> mediaChanged;
        std::function<void(const VolumeState&)> volumeChanged;
    };

    // Starts following at once; the listener is called on the follower's thread.
    explicit LiveState(Listener listener);
    ~LiveState();  // stops
    LiveState(const LiveState&) = delete;
    LiveState& operator=(const LiveState&) = delete;

    // Every player known now, in the order they appeared; with `positions`, each asked for its
    // position (a call per player, so not on a thread that must not wait).
    std::vector<PlayerState> players(bool positions = false) const;
    // The player the phone controls by default: the one playing, else the one that played
    // last, else the first; nothing without players.
    std::optional<std::string> activePlayer() const;
    // Ends following; the listener is not called afterwards. Not undone.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::host
