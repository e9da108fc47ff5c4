#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace td::api {

// Plans that run now: a bounded number at once, each within a bounded time, and all of them
// stopped promptly when the agent stops. Plans pause between steps, so without a bound they
// could hold every worker while pairing and actions wait.
class PlanRuns {
  public:
    static constexpr std::size_t MAX_AT_ONCE = 4;
    static constexpr std::chrono::seconds MAX_RUN_TIME{60};

    // One run's place; released when it goes.
    class Slot {
      public:
        explicit Slot(PlanRuns* runs) : runs_(runs) {}
        Slot(Slot&& other) noexcept : runs_(std::exchange(other.runs_, nullptr)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot();
        explicit operator bool() const { return runs_ != nullptr; }

      private:
        PlanRuns* runs_;
    };

    // A place for one more run; empty when MAX_AT_ONCE already run or the agent is stopping.
    Slot enter();

    // Waits `pause`, less when stopping; false when the run must end (stopping, or past
    // `deadline`).
    bool pause(std::chrono::milliseconds pause, std::chrono::steady_clock::time_point deadline);

    // Wakes every pause and refuses later runs; not undone.
    void stop();

    // How many run now.
    std::size_t running();

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t running_ = 0;
    bool stopping_ = false;
};

}  // namespace td::api
