#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "common/json.hpp"

// What tiles show beyond their configuration: a label, a value, an on/off state, a level and an
// icon that scripts, the command line and the desktop's sound push while the agent runs. It
// lives in memory only: a restart starts empty and the sources push again.
namespace td::tiles {

// A tile id: 1 to 64 of a-z, 0-9, "_" and "-".
bool isTileId(std::string_view id);

// What is wrong with the configuration's live tiles, if anything: an id that is not one or is
// used twice, or a poller's "every" that is not a number of seconds from 1 to a day.
std::optional<std::string> tileProblemIn(const Json& config);

// The text with its controls, separators and direction marks (what a tile's text may not hold)
// each replaced by a space; valid UTF-8 in, valid UTF-8 out.
std::string withoutFormatting(std::string_view text);

// Text a tile shows is short: a label or a value, never a document.
inline constexpr std::size_t MAX_TEXT_CHARACTERS = 64;
// An icon image is a small picture, decoded size.
inline constexpr std::size_t MAX_ICON_IMAGE_BYTES = 64 * 1024;
// The largest body of one push: the icon image, base64, and the rest with room.
inline constexpr std::size_t MAX_PUSH_BYTES = 96 * 1024;
// What all tiles' states may hold together, as JSON: room for a deck of small picture icons (or
// five of the largest), and a message telling every tile at once stays well within what a
// phone's event stream may have waiting.
inline constexpr std::size_t MAX_STATE_BYTES = 512 * 1024;

// A change to one tile's state: each member is left alone (nothing), set, or cleared (null).
struct TileChange {
    std::map<std::string, Json, std::less<>> set;
    std::set<std::string, std::less<>> cleared;
    bool empty() const { return set.empty() && cleared.empty(); }
};

// The change a push describes, or why it is refused: an object of at most label, value, state
// ("on"/"off"), level (0-100) and icon (one emoji, or a PNG, JPEG or WebP data: URL).
std::variant<TileChange, std::string> readTileChange(const UntrustedJson& body);

// The tiles with ids in the configuration and their state. Safe from any thread. A change is
// told to the event streams at once, unless a message went out less than PUBLISH_INTERVAL ago:
// then it goes with the others of that interval, in one message at its end.
class TileBoard {
  public:
    inline static constexpr auto PUBLISH_INTERVAL = std::chrono::milliseconds(25);
    using Publish = std::function<void(std::string message)>;
    using RunLater = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

    TileBoard(Publish publish, RunLater runLater);
    TileBoard(const TileBoard&) = delete;
    TileBoard& operator=(const TileBoard&) = delete;

    // The tiles are the configuration's tiles with an id; a tile that left loses its state,
    // and one that follows the sound or the player takes what they are doing now.
    void reconfigure(const Json& config);
    // A tile's configuration, when there is a tile with that id.
    std::optional<Json> tile(std::string_view id) const;

    // `full`: the change would take the states past MAX_STATE_BYTES (nothing changed).
    enum class Outcome { changed, unchanged, unknownTile, full };
    Outcome apply(std::string_view id, const TileChange& change);
    // {"ID": {...}} for the tiles that have state.
    Json states() const;
    Json stateOf(std::string_view id) const;

    // The sound's mute and whether a player plays, for the toggles that follow them.
    void followMute(bool muted);
    void followPlaying(bool playing);

  private:
    // With the lock held.
    Outcome applyLocked(const std::string& id, const TileChange& change);
    void follow(const std::string& source, bool on);
    void followLocked(std::string_view source, bool on);
    // Whether to publish now (outside the lock); otherwise a publication is scheduled.
    bool publishNowLocked();
    void publishPending();

    const Publish publish_;
    const RunLater runLater_;
    mutable std::mutex mutex_;
    std::map<std::string, Json, std::less<>> tiles_;
    std::map<std::string, Json, std::less<>> states_;
    // Each state's size as compact JSON, and their sum: a push is measured once.
    std::map<std::string, std::size_t, std::less<>> stateSizes_;
    std::size_t stateBytes_ = 0;
    std::set<std::string> pending_;
    bool publishScheduled_ = false;
    std::chrono::steady_clock::time_point lastPublished_{};
    std::map<std::string, bool, std::less<>> sources_;  // "mute", "playing": what they say now
};

// The event-stream message telling these tiles' states.
std::string tileStateMessage(const Json& states);

}  // namespace td::tiles
