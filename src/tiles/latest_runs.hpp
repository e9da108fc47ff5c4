#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace td::tiles {

// One run per key at a time (a slider's Shortcut): a value that comes while one runs waits for
// it, replacing any value waiting before it, so that the last value always runs and a drag
// never piles runs up.
class LatestRuns {
  public:
    // Runs `run(value)` on this thread, then whatever value came for the key meanwhile; true
    // or false as the run of `value` went. Nothing when a run for the key was under way: the
    // value runs after it.
    std::optional<bool> submit(const std::string& key, int value,
                               const std::function<bool(int)>& run) {
        {
            std::lock_guard lock(mutex_);
            auto [entry, first] = waiting_.try_emplace(key, std::nullopt);
            if (!first) {
                entry->second = value;
                return std::nullopt;
            }
        }
        const bool ok = run(value);
        while (true) {
            std::optional<int> next;
            {
                std::lock_guard lock(mutex_);
                const auto entry = waiting_.find(key);
                next = std::exchange(entry->second, std::nullopt);
                if (!next) {
                    waiting_.erase(entry);
                    return ok;
                }
            }
            run(*next);
        }
    }

  private:
    std::mutex mutex_;
    // A key is present while it runs; its value is the one waiting, if any.
    std::map<std::string, std::optional<int>> waiting_;
};

}  // namespace td::tiles
