#include "tiles/tile_sources.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/shortcuts.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace td::tiles {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// Sources over a folder of scripts, each change they make recorded.
struct Fed {
    test::TempDir dir;
    std::mutex mutex;
    std::map<std::string, Json> state;
    std::map<std::string, int> applied;
    std::unique_ptr<TileSources> sources;

    Fed() {
        std::filesystem::create_directories(folder());
        ::chmod(folder().c_str(), 0700);
        sources = std::make_unique<TileSources>(
            folder(), [this] { return host::listShortcuts(folder()); },
            [this](const std::string& tile, const TileChange& change) {
                std::lock_guard lock(mutex);
                Json& s = state[tile];
                for (const auto& key : change.cleared) {
                    s.erase(key);
                }
                for (const auto& [key, value] : change.set) {
                    s[key] = value;
                }
                ++applied[tile];
            });
    }
    std::filesystem::path folder() const { return dir.path() / "shortcuts"; }
    void script(const std::string& name, const std::string& body) {
        dir.write("shortcuts/" + name, "#!/bin/sh\n" + body + "\n");
        ::chmod((folder() / name).c_str(), 0700);
    }
    Json of(const std::string& tile) {
        std::lock_guard lock(mutex);
        return state[tile];
    }
    int count(const std::string& tile) {
        std::lock_guard lock(mutex);
        return applied[tile];
    }
    Json sourceReport(const std::string& tile) {
        for (const Json& entry : sources->report()) {
            if (entry["tile"] == tile) {
                return entry;
            }
        }
        return {};
    }
};

Json configOf(Json tiles) {
    return {{"pages", {{{"name", "P"}, {"tiles", std::move(tiles)}}}}};
}

TEST(TileSources, AWatcherFloodingLinesAndGarbageIsHeardTwentyTimesASecondTheLatestAlways) {
    Fed fed;
    fed.script("flood",
               "i=0; while [ $i -lt 3000 ]; do echo \"{\\\"value\\\":\\\"$i\\\"}\"; i=$((i+1)); "
               "done\necho '{\"state\":\"on\"}'\nsleep 600");
    fed.script("garbage",
               "echo '{\"value\":\"fine\"}'\necho 'not json'\nhead -c 5000 /dev/zero | "
               "tr '\\0' x\necho\nsleep 600");
    const auto began = std::chrono::steady_clock::now();
    fed.sources->reconfigure(
        configOf({{{"id", "flood"}, {"watch", "flood"}}, {{"id", "bad"}, {"watch", "garbage"}}}));

    // Lines merged into one change or applied one by one: the members are what counts.
    ASSERT_TRUE(eventually([&] {
        const Json flood = fed.of("flood");
        return flood.size() == 2 && flood.value("value", "") == "2999" &&
               flood.value("state", "") == "on";
    })) << fed.of("flood").dump();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    EXPECT_LE(fed.count("flood"), took / MIN_APPLY_INTERVAL + 2)
        << "3001 lines in " << took.count();

    ASSERT_TRUE(eventually([&] { return !fed.sourceReport("bad")["problem"].is_null(); }));
    EXPECT_EQ(fed.of("bad"), (Json{{"value", "fine"}}));
    EXPECT_TRUE(fed.sourceReport("bad")["running"].get<bool>()) << "garbage does not stop it";
}

TEST(TileSources, AFailingWatcherWaitsLongerEachTimeAndPollersReadCleanly) {
    Fed fed;
    // It exits while what it left running holds its output: the exit is what counts.
    fed.script("dies", "sleep 600 &\necho oops >&2; exit 3");
    // A descriptor of the agent's that a child must not inherit.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(::dup2(leaked, 77), 0);
    fed.script("poll",
               "[ \"$1\" = --read ] || exit 9\necho '{\"value\":\"first\"}'\n"
               "if [ -e /proc/$$/fd/77 ]; then echo '{\"value\":\"leaked\"}'; "
               "else echo '{\"value\":\"clean\"}'; fi");
    fed.script("watch", "echo \"{\\\"value\\\":\\\"$$\\\"}\"; exec sleep 600");
    const auto began = std::chrono::steady_clock::now();
    fed.sources->reconfigure(configOf({{{"id", "dies"}, {"watch", "dies"}},
                                       {{"id", "p"}, {"watch", "poll"}, {"every", 1}},
                                       {{"id", "w"}, {"watch", "watch"}}}));

    ASSERT_TRUE(eventually([&] { return fed.sourceReport("dies")["restarts"] >= 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - began, FIRST_PAUSE) << "no pause before a restart";
    const std::string problem = fed.sourceReport("dies")["problem"];
    EXPECT_NE(problem.find("status 3"), std::string::npos) << problem;
    EXPECT_NE(problem.find("oops"), std::string::npos) << problem;

    ASSERT_TRUE(eventually([&] { return fed.count("p") >= 2; }));
    EXPECT_EQ(fed.of("p"), (Json{{"value", "clean"}}));
    ::close(77);
    ::close(leaked);

    // A watcher whose tile leaves is stopped, and so is everything when the sources stop.
    ASSERT_TRUE(eventually([&] { return fed.of("w").contains("value"); }));
    const pid_t watcher = std::stoi(fed.of("w")["value"].get<std::string>());
    fed.sources->reconfigure(configOf({{{"id", "p"}, {"watch", "poll"}, {"every", 1}}}));
    EXPECT_TRUE(eventually([&] { return ::kill(watcher, 0) != 0; }));
    fed.sources->stop();
    EXPECT_TRUE(fed.sources->report().empty());
}

}  // namespace
}  // namespace td::tiles
