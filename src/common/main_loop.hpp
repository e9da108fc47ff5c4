#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

namespace td {

// The agent's "main thread" when there is no GUI loop: runs posted tasks and timers one at a
// time, in order, on the thread that calls `run`. Any thread may post.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;

    void post(std::function<void()> task) { postAt(Clock::now(), std::move(task)); }
    void postAfter(Clock::duration delay, std::function<void()> task) {
        postAt(Clock::now() + delay, std::move(task));
    }
    void postAt(Clock::time_point when, std::function<void()> task);

    // Runs until `quit`; tasks still waiting then are dropped.
    void run();
    void quit();

  private:
    std::mutex mutex_;  // guards the two below
    std::multimap<Clock::time_point, std::function<void()>> tasks_;
    bool quitting_ = false;
    std::condition_variable wake_;
};

}  // namespace td
