#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/json.hpp"
#include "tiles/tile_board.hpp"

// The Shortcuts that feed tiles: a watcher runs for as long as its tile is configured and each
// line it prints changes the tile; a poller runs every few seconds and its last line does.
namespace td::tiles {

// A line is one change of a tile's state: a few short members (an icon there is an emoji).
inline constexpr std::size_t MAX_LINE_BYTES = 4 * 1024;
// At most 20 changes a second from one source reach the tile; in between they are merged, each
// member taking its latest value.
inline constexpr auto MIN_APPLY_INTERVAL = std::chrono::milliseconds(50);
// A source that stops (or fails) is started again after a pause, doubled each time up to this.
inline constexpr auto FIRST_PAUSE = std::chrono::seconds(1);
inline constexpr auto LONGEST_PAUSE = std::chrono::minutes(5);
// A watcher that ran this long before it stopped starts again after the first pause.
inline constexpr auto STEADY_RUN = std::chrono::minutes(1);
// What one source's output may cost: it is read at most this much per window; a source that
// prints more waits (its pipe fills) until the next window.
inline constexpr std::size_t READ_BUDGET_BYTES = 64 * 1024;
inline constexpr auto READ_WINDOW = std::chrono::milliseconds(100);
// A poller that runs longer is killed.
inline constexpr auto POLL_TIME_LIMIT = std::chrono::seconds(10);

// What feeds a tile: the Shortcut its "watch" names, kept running with the argument --watch, or
// with "every": S run with --read every S seconds.
struct Feed {
    enum class Mode { watch, every };
    std::string tile;
    std::string shortcut;
    Mode mode = Mode::watch;
    std::chrono::seconds every{0};
    bool operator==(const Feed&) const = default;
};

// The sources the configuration's tiles ask for, by tile id: a tile with an id and a "watch"
// naming a Shortcut, polled when it has "every" (whole seconds, at least 1).
std::map<std::string, Feed> sourcesIn(const Json& config);

// Runs the sources on a thread of its own, which sleeps until a source prints, exits or is due.
class TileSources {
  public:
    using Apply = std::function<void(const std::string& tile, const TileChange& change)>;
    using ListShortcuts = std::function<std::vector<std::string>()>;

    TileSources(std::filesystem::path shortcutsFolder, ListShortcuts listShortcuts, Apply apply);
    ~TileSources();  // stops
    TileSources(const TileSources&) = delete;
    TileSources& operator=(const TileSources&) = delete;

    // Starts the sources the configuration asks for and stops those it no longer does.
    void reconfigure(const Json& config);
    // Runs the tile's poller soon, when it has one (its tile was just used): after `delay`, for
    // what the tap started to take effect, unless it is due sooner.
    void pollSoon(const std::string& tile, std::chrono::milliseconds delay);
    // [{"tile", "shortcut", "mode", "running", "restarts", "problem"}] for the admin page.
    Json report() const;
    // Stops every source and the thread. Not undone.
    void stop();

    struct Runner;

  private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void run();
    void wake();
    // With the lock held, on the sources' thread.
    void start(Runner& runner, TimePoint now);
    void finish(Runner& runner, TimePoint now);

    const std::filesystem::path folder_;
    const ListShortcuts listShortcuts_;
    const Apply apply_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    mutable std::mutex mutex_;  // guards the members below
    std::map<std::string, Feed> wanted_;
    bool wantedChanged_ = false;
    std::map<std::string, std::unique_ptr<Runner>> runners_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace td::tiles
