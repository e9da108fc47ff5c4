#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/settings.hpp"
#include "host/following.hpp"

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

// How a follower is doing, as it says: what the capability report shows (a way that stops is
// logged with its reason), and whether the attempt under way followed at all.
class FollowingReport {
  public:
    // `what`: for the log ("the clipboard").
    explicit FollowingReport(std::string what) : what_(std::move(what)) {}

    void report(Following now);
    Following now() const;
    void beginAttempt();
    bool followedInAttempt() const;

  private:
    const std::string what_;
    mutable std::mutex mutex_;
    Following now_;          // guarded by mutex_
    bool followed_ = false;  // in this attempt; guarded by mutex_
};

// Follows this session's desktop with `x11` or `wayland`, each an attempt of a Follower named
// `name` that reports to `status`; nothing, and the reason reported, without a desktop session.
std::unique_ptr<Follower> followDesktop(const char* name, DesktopSession session,
                                        FollowingReport& status,
                                        std::function<void(const Follower&)> x11,
                                        std::function<void(const Follower&)> wayland);

}  // namespace td::host
