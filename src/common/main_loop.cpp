#include "common/main_loop.hpp"

namespace td {

void MainLoop::postAt(Clock::time_point when, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.emplace(when, std::move(task));
    }
    wake_.notify_one();
}

void MainLoop::run() {
    std::unique_lock lock(mutex_);
    while (!quitting_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto next = tasks_.begin();
        if (next->first > Clock::now()) {
            wake_.wait_until(lock, next->first);
            continue;
        }
        auto task = std::move(next->second);
        tasks_.erase(next);
        lock.unlock();
        task();
        lock.lock();
    }
}

void MainLoop::quit() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
}

}  // namespace td
