#include "server/work_pool.hpp"

#include <exception>
#include <string>

#include "common/log.hpp"

namespace td::server {

WorkPool::WorkPool(std::size_t maxThreads) : maxThreads_(maxThreads < 1 ? 1 : maxThreads) {}

WorkPool::~WorkPool() {
    stop();
}

void WorkPool::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    tasks_.push_back(std::move(task));
    if (tasks_.size() > idle_ && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { workerLoop(); });
    }
    wake_.notify_one();
}

void WorkPool::stop() {
    std::vector<std::thread> threads;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        dropped.swap(tasks_);
    }
    wake_.notify_all();
    for (auto& thread : threads) {
        thread.join();
    }
}

std::size_t WorkPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void WorkPool::workerLoop() {
    std::unique_lock lock(mutex_);
    while (true) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        --idle_;
        if (stopping_) {
            return;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            // A failing task must not take the pool down; its connection, if it held one,
            // closes when the task is released.
            TD_LOG(http, std::string("a task on the work pool failed: ") + e.what());
        } catch (...) {
            TD_LOG(http, "a task on the work pool failed");
        }
        task = nullptr;
        lock.lock();
    }
}

}  // namespace td::server
