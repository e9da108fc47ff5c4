#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace td::tiles {

// Runs sliders' Shortcuts on a few threads of its own, never on a request's: one run per key at
// a time, and a value that comes while its key runs waits, replacing any value waiting before
// it, so that the last value always runs and a drag never piles runs up. However many sliders
// are dragged, they hold these threads only.
class LatestRuns {
  public:
    explicit LatestRuns(std::size_t threads = 2) {
        for (std::size_t i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }
    // Waits for the runs under way; values still waiting are dropped.
    ~LatestRuns() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    LatestRuns(const LatestRuns&) = delete;
    LatestRuns& operator=(const LatestRuns&) = delete;

    void submit(const std::string& key, int value, std::function<void(int)> run) {
        {
            std::lock_guard lock(mutex_);
            if (!waiting_.count(key)) {
                queue_.push_back(key);
            }
            waiting_.insert_or_assign(key, Job{value, std::move(run)});
        }
        changed_.notify_all();
    }

    // Returns once nothing runs or waits (tests).
    void waitUntilIdle() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return waiting_.empty() && running_.empty(); });
    }

  private:
    struct Job {
        int value;
        std::function<void(int)> run;
    };

    // Keys take turns in the order their values came: one dragged on and on waits behind the
    // others like any.
    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            auto next = queue_.end();
            changed_.wait(lock, [&] {
                next = std::find_if(queue_.begin(), queue_.end(), [this](const std::string& key) {
                    return !running_.count(key);
                });
                return stopping_ || next != queue_.end();
            });
            if (stopping_) {
                return;
            }
            const std::string key = *next;
            queue_.erase(next);
            const auto waiting = waiting_.find(key);
            Job job = std::move(waiting->second);
            waiting_.erase(waiting);
            running_.insert(key);
            lock.unlock();
            job.run(job.value);
            lock.lock();
            running_.erase(key);
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Job> waiting_;
    std::list<std::string> queue_;  // the keys of waiting_, each once, oldest first
    std::set<std::string> running_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace td::tiles
