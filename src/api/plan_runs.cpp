#include "api/plan_runs.hpp"

namespace td::api {

PlanRuns::Slot::~Slot() {
    if (runs_) {
        std::lock_guard lock(runs_->mutex_);
        --runs_->running_;
    }
}

PlanRuns::Slot PlanRuns::enter() {
    std::lock_guard lock(mutex_);
    if (stopping_ || running_ >= MAX_AT_ONCE) {
        return Slot(nullptr);
    }
    ++running_;
    return Slot(this);
}

bool PlanRuns::pause(std::chrono::milliseconds pause,
                     std::chrono::steady_clock::time_point deadline) {
    const auto until = std::min(std::chrono::steady_clock::now() + pause, deadline);
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, until, [this] { return stopping_; });
    return !stopping_ && std::chrono::steady_clock::now() < deadline;
}

void PlanRuns::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

std::size_t PlanRuns::running() {
    std::lock_guard lock(mutex_);
    return running_;
}

}  // namespace td::api
