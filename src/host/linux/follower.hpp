#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace td::host {

// A thread that follows something of the desktop's for as long as it runs: `attempt` follows
// until its way of following ends (a connection lost, a tool exited) or the follower's `wake`
// descriptor becomes readable (stop); it is then tried again after a pause that grows from 5 s to 5
// min, and starts from 5 s again after an attempt that lasted a minute.
class Follower {
  public:
    // `name`: the thread's, as `top -H` and the benchmarks show it (15 characters at most).
    Follower(const char* name, std::function<bool(const Follower&)> attempt);
    ~Follower();  // stops
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    // Makes `wake` readable and waits for the thread. Not undone.
    void stop();
    bool stopped() const { return stopped_; }
    // Readable once stopped: for the attempt to poll beside what it follows.
    int wake() const { return wake_; }

    // While it lives, stopping shuts the socket `fd` down, so that a call blocked on it (a
    // round trip to an X server another client grabbed, a compositor that hangs) returns.
    class ShutDownOnStop {
      public:
        ShutDownOnStop(const Follower& follower, int fd);
        ~ShutDownOnStop();
        ShutDownOnStop(const ShutDownOnStop&) = delete;
        ShutDownOnStop& operator=(const ShutDownOnStop&) = delete;

      private:
        const Follower& follower_;
    };

  private:
    void run();

    const std::function<bool(const Follower&)> attempt_;
    const int wake_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    mutable int connection_ = -1;  // guarded by mutex_
    std::thread thread_;           // last: it runs as soon as it is made
};

}  // namespace td::host
