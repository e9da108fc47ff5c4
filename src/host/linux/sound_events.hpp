#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <string>

#include "host/linux/glib_loop.hpp"

namespace td::host {

// The sound server's own events, from `pactl subscribe` kept running as a child: `changed` is
// called (on the thread of `context`) for each event about a sink or the server (a level, a
// mute, another default output). A subscription that ends is started again after a pause
// that grows while it keeps failing (no sound server yet, no pactl).
class SoundEvents {
  public:
    SoundEvents(GMainContext* context, std::function<void()> changed);
    ~SoundEvents();  // stops
    SoundEvents(const SoundEvents&) = delete;
    SoundEvents& operator=(const SoundEvents&) = delete;

    void start();
    // Kills the child and cancels the read; nothing is called afterwards.
    void stop();
    // Reads still in flight (each ends soon once cancelled).
    int pendingReads() const { return pending_; }

    // One line of pactl's output names a change worth reading the volume again for.
    static bool isSoundChange(std::string_view line);

  private:
    void readMore();
    void onRead(gssize count);
    void ended();
    void takeLine(std::string_view line);

    GMainContext* context_;
    std::function<void()> changed_;
    GCancellable* cancellable_ = nullptr;
    GSubprocess* child_ = nullptr;
    glib::Timer restart_;
    std::chrono::milliseconds pause_;
    std::chrono::steady_clock::time_point startedAt_;
    std::chrono::steady_clock::time_point budgetStart_;
    std::size_t budgetUsed_ = 0;  // bytes read since budgetStart_
    int pending_ = 0;
    char buffer_[4096];
    std::string line_;
    bool skippingLongLine_ = false;
};

}  // namespace td::host
