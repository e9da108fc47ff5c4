#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace td::server {

// Threads for work that may block (tools, pauses, the Store), so that a slow task never holds
// up the network threads. A thread is added whenever a task would otherwise wait, up to
// `maxThreads`; beyond that tasks queue.
class WorkPool {
  public:
    explicit WorkPool(std::size_t maxThreads);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void post(std::function<void()> task);

    // Tasks not yet started are dropped; running ones are waited for.
    void stop();

    std::size_t threadCount() const;

  private:
    void workerLoop();

    const std::size_t maxThreads_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace td::server
