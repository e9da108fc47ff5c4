#include "tiles/tile_sources.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "common/json_read.hpp"
#include "common/log.hpp"
#include "host/process.hpp"

namespace td::tiles {
namespace {

using Clock = std::chrono::steady_clock;

// What a source said last on its standard error, for the admin page.
constexpr std::size_t MAX_ERROR_TEXT = 200;

std::string shortened(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.size() > MAX_ERROR_TEXT) {
        text.resize(MAX_ERROR_TEXT);
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
            text.pop_back();  // not half a character
        }
        text += "…";
    }
    return text;
}

void merge(TileChange& into, const TileChange& later) {
    for (const auto& [key, value] : later.set) {
        into.cleared.erase(key);
        into.set[key] = value;
    }
    for (const std::string& key : later.cleared) {
        into.set.erase(key);
        into.cleared.insert(key);
    }
}

}  // namespace

std::map<std::string, Feed> sourcesIn(const Json& config) {
    std::map<std::string, Feed> sources;
    for (const Json& page : jsonread::objects(config, "pages").value_or(std::vector<Json>{})) {
        for (const Json& tile : jsonread::objects(page, "tiles").value_or(std::vector<Json>{})) {
            const auto id = jsonread::string(tile, "id");
            const auto shortcut = jsonread::string(tile, "watch");
            if (!id || !isTileId(*id) || !shortcut || shortcut->empty()) {
                continue;
            }
            Feed feed{*id, *shortcut};
            if (const auto every = jsonread::number(tile, "every")) {
                if (!std::isfinite(*every) || *every < 1 || *every > 86400) {
                    continue;
                }
                feed.mode = Feed::Mode::every;
                feed.every = std::chrono::seconds(static_cast<long>(std::lround(*every)));
            }
            sources.emplace(*id, std::move(feed));
        }
    }
    return sources;
}

// One source and its child while it runs; used on the sources' thread, under their lock.
struct TileSources::Runner {
    Feed feed;
    std::optional<host::WatchedChild> child;
    Clock::time_point startedAt{};
    Clock::time_point due{};  // when to start it (again)
    std::chrono::seconds pause = FIRST_PAUSE;
    int restarts = 0;
    std::string problem;
    std::string stderrTail;
    // The line being read, and whether it is past MAX_LINE_BYTES (skipped to its end).
    std::string line;
    bool skippingLine = false;
    // A poller's result: the last line that read as a change.
    std::optional<TileChange> lastChange;
    // Changes waiting for MIN_APPLY_INTERVAL since the last one applied.
    std::optional<TileChange> waiting;
    Clock::time_point lastApplied{};
    Clock::time_point windowStart{};
    std::size_t readInWindow = 0;

    // Its process has ended, though something it started may still hold its output.
    bool hasExited = false;

    bool polls() const { return feed.mode == Feed::Mode::every; }

    void fail(std::string why) {
        if (problem != why) {
            TD_LOG(tools, "tile " + feed.tile + ": " + why);
        }
        problem = std::move(why);
    }

    // Its exit status; -1 when there was no child.
    int closeChild() {
        if (!child) {
            return -1;
        }
        for (int fd : {child->output, child->errors, child->exited}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        const int status = host::stopWatched(child->pid);
        child.reset();
        return status;
    }

    void waitBeforeNextStart(Clock::time_point now, std::chrono::seconds atLeast = {}) {
        due = now + std::max(atLeast, pause);
        pause = std::min<std::chrono::seconds>(pause * 2, LONGEST_PAUSE);
    }

    // Reads what the line says into the waiting change (a watcher) or the result (a poller).
    void takeLine(const std::string& text) {
        if (text.empty() || text.find_first_not_of(" \t\r") == std::string::npos) {
            return;
        }
        const auto parsed = parseJson(text, 64);
        if (!parsed) {
            return fail("printed a line that is not JSON: " + shortened(text));
        }
        auto change = readTileChange(*parsed);
        if (auto* why = std::get_if<std::string>(&change)) {
            return fail("printed a line that is not a tile's state: " + *why);
        }
        auto& read = std::get<TileChange>(change);
        if (!polls()) {
            problem.clear();  // a poller's is cleared when a whole run went well
        }
        if (polls()) {
            lastChange = std::move(read);
        } else if (waiting) {
            merge(*waiting, read);
        } else {
            waiting = std::move(read);
        }
    }

    void takeOutput(std::string_view bytes) {
        while (!bytes.empty()) {
            const auto end = bytes.find('\n');
            const std::string_view part = bytes.substr(0, end);
            if (!skippingLine) {
                if (line.size() + part.size() > MAX_LINE_BYTES) {
                    skippingLine = true;
                    line.clear();
                    fail("printed a line longer than 4 KiB");
                } else {
                    line.append(part);
                }
            }
            if (end == std::string_view::npos) {
                return;
            }
            if (!skippingLine) {
                takeLine(line);
            }
            line.clear();
            skippingLine = false;
            bytes.remove_prefix(end + 1);
        }
    }

    void takeErrors(std::string_view bytes) {
        std::string_view text = bytes;
        while (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        if (const auto start = text.rfind('\n'); start != std::string_view::npos) {
            text.remove_prefix(start + 1);
        }
        if (!text.empty()) {
            stderrTail = shortened(std::string(text));
        }
    }

    // Reads what is there within the window's budget; false once the output has ended.
    bool readFrom(int& fd, bool output, Clock::time_point now) {
        if (now - windowStart >= READ_WINDOW) {
            windowStart = now;
            readInWindow = 0;
        }
        char buffer[16 * 1024];
        while (readInWindow < READ_BUDGET_BYTES) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                readInWindow += static_cast<std::size_t>(got);
                const std::string_view bytes(buffer, static_cast<std::size_t>(got));
                output ? takeOutput(bytes) : takeErrors(bytes);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            ::close(fd);
            fd = -1;
            return false;
        }
        return true;
    }

    bool budgetSpent(Clock::time_point now) const {
        return readInWindow >= READ_BUDGET_BYTES && now - windowStart < READ_WINDOW;
    }
};

TileSources::TileSources(std::filesystem::path shortcutsFolder, ListShortcuts listShortcuts,
                         Apply apply)
    : folder_(std::move(shortcutsFolder)),
      listShortcuts_(std::move(listShortcuts)),
      apply_(std::move(apply)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
    thread_ = std::thread([this] { run(); });
}

TileSources::~TileSources() {
    stop();
    for (int fd : {wakeRead_, wakeWrite_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void TileSources::reconfigure(const Json& config) {
    auto wanted = sourcesIn(config);
    {
        std::lock_guard lock(mutex_);
        wanted_ = std::move(wanted);
        wantedChanged_ = true;
    }
    wake();
}

void TileSources::pollSoon(const std::string& tile, std::chrono::milliseconds delay) {
    {
        std::lock_guard lock(mutex_);
        const auto found = runners_.find(tile);
        if (found == runners_.end() || !found->second->polls() || found->second->child) {
            return;
        }
        found->second->due = std::min(found->second->due, Clock::now() + delay);
    }
    wake();
}

Json TileSources::report() const {
    std::lock_guard lock(mutex_);
    Json sources = Json::array();
    for (const auto& [tile, runner] : runners_) {
        std::string problem = runner->problem;
        if (!problem.empty() && !runner->stderrTail.empty()) {
            problem += " (it said: " + runner->stderrTail + ")";
        }
        sources.push_back({{"tile", tile},
                           {"shortcut", runner->feed.shortcut},
                           {"mode", runner->polls() ? "every" : "watch"},
                           {"running", runner->child.has_value()},
                           {"restarts", runner->restarts},
                           {"problem", problem.empty() ? Json(nullptr) : Json(problem)}});
    }
    return sources;
}

void TileSources::start(Runner& runner, TimePoint now) {
    const std::string& name = runner.feed.shortcut;
    const auto names = listShortcuts_();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        runner.fail("there is no Shortcut named \"" + name + "\" in " + folder_.string());
        return runner.waitBeforeNextStart(now, runner.feed.every);
    }
    runner.child =
        host::startWatched((folder_ / name).string(), {runner.polls() ? "--read" : "--watch"},
                           {"TD_TILE=" + runner.feed.tile});
    if (!runner.child) {
        runner.fail("could not be started");
        return runner.waitBeforeNextStart(now, runner.feed.every);
    }
    runner.startedAt = now;
    runner.windowStart = now;
    runner.readInWindow = 0;
    runner.line.clear();
    runner.skippingLine = false;
    runner.lastChange.reset();
    runner.stderrTail.clear();
}

void TileSources::finish(Runner& runner, TimePoint now) {
    for (int* fd : {&runner.child->output, &runner.child->errors}) {
        if (*fd >= 0) {  // what it wrote before it exited
            runner.readFrom(*fd, fd == &runner.child->output, now);
        }
    }
    runner.hasExited = false;
    if (!runner.skippingLine && !runner.line.empty()) {
        runner.takeLine(runner.line);  // the last line, without its line feed
    }
    runner.line.clear();
    const int status = runner.closeChild();
    const std::string exit = status == 0 ? "" : " (status " + std::to_string(status) + ")";
    if (runner.polls()) {
        if (status == 0 && runner.lastChange) {
            apply_(runner.feed.tile, *runner.lastChange);
            runner.problem.clear();
            runner.pause = FIRST_PAUSE;
            runner.due = std::max(now, runner.startedAt + runner.feed.every);
            return;
        }
        runner.fail(status == 0 ? std::string("printed no tile state") : "failed" + exit);
        return runner.waitBeforeNextStart(now, runner.feed.every);
    }
    ++runner.restarts;
    if (now - runner.startedAt >= STEADY_RUN) {
        runner.pause = FIRST_PAUSE;
    }
    runner.fail("stopped" + exit + "; it is started again in " +
                std::to_string(runner.pause.count()) + " s");
    runner.waitBeforeNextStart(now);
}

void TileSources::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TileSources::wake() {
    if (wakeWrite_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto ignored = ::write(wakeWrite_, &byte, 1);
    }
}

void TileSources::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        if (wantedChanged_) {
            wantedChanged_ = false;
            for (auto it = runners_.begin(); it != runners_.end();) {
                const auto wanted = wanted_.find(it->first);
                if (wanted == wanted_.end() || !(wanted->second == it->second->feed)) {
                    it->second->closeChild();
                    it = runners_.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& [tile, feed] : wanted_) {
                if (!runners_.count(tile)) {
                    auto runner = std::make_unique<Runner>();
                    runner->feed = feed;
                    runner->due = now;
                    runners_.emplace(tile, std::move(runner));
                }
            }
        }

        std::vector<pollfd> watched{{wakeRead_, POLLIN, 0}};
        std::vector<std::pair<Runner*, bool>> owners{{nullptr, false}};
        std::set<std::size_t> exitWatches;  // where in `watched` a child's exit is
        auto next = Clock::time_point::max();
        for (auto& [tile, runnerPtr] : runners_) {
            Runner& runner = *runnerPtr;
            if (runner.waiting && now - runner.lastApplied >= MIN_APPLY_INTERVAL) {
                apply_(tile, *runner.waiting);
                runner.waiting.reset();
                runner.lastApplied = now;
            }
            if (runner.waiting) {
                next = std::min(next, runner.lastApplied + MIN_APPLY_INTERVAL);
            }
            if (runner.child &&
                ((runner.child->output < 0 && runner.child->errors < 0) || runner.hasExited)) {
                finish(runner, now);
            }
            if (runner.child && runner.polls() && now - runner.startedAt >= POLL_TIME_LIMIT) {
                runner.closeChild();
                runner.fail("ran past " + std::to_string(POLL_TIME_LIMIT.count()) +
                            " s and was stopped");
                runner.waitBeforeNextStart(now, runner.feed.every);
            }
            if (!runner.child && now >= runner.due) {
                start(runner, now);
            }
            if (!runner.child) {
                next = std::min(next, runner.due);
                continue;
            }
            if (runner.polls()) {
                next = std::min(next, runner.startedAt + POLL_TIME_LIMIT);
            }
            if (runner.budgetSpent(now)) {
                next = std::min(next, runner.windowStart + READ_WINDOW);
                continue;
            }
            for (const bool output : {true, false}) {
                const int fd = output ? runner.child->output : runner.child->errors;
                if (fd >= 0) {
                    watched.push_back({fd, POLLIN, 0});
                    owners.emplace_back(&runner, output);
                }
            }
            if (runner.child->exited >= 0) {
                watched.push_back({runner.child->exited, POLLIN, 0});
                owners.emplace_back(&runner, false);
                exitWatches.insert(watched.size() - 1);
            }
        }

        const int timeout =
            next == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::clamp<long>(
                      std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count(), 0,
                      60'000));
        lock.unlock();
        const int ready = ::poll(watched.data(), watched.size(), timeout);
        lock.lock();
        if (ready <= 0) {
            continue;
        }
        if (watched[0].revents) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (wantedChanged_) {
            continue;  // the runners may be gone: look again before reading
        }
        const auto readAt = Clock::now();
        for (std::size_t i = 1; i < watched.size(); ++i) {
            if (!watched[i].revents) {
                continue;
            }
            auto [runner, output] = owners[i];
            if (exitWatches.count(i)) {
                runner->hasExited = true;  // what it wrote is read before it is finished
                continue;
            }
            if (runner->child) {
                runner->readFrom(output ? runner->child->output : runner->child->errors, output,
                                 readAt);
            }
        }
    }
    for (auto& [tile, runner] : runners_) {
        runner->closeChild();
    }
    runners_.clear();
}

}  // namespace td::tiles
