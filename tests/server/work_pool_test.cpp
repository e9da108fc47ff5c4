#include "server/work_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "harness.hpp"

namespace td::server {
namespace {

using namespace std::chrono_literals;

// Tasks that block until released, so a test decides when each one ends.
class Gate {
  public:
    std::function<void()> task(std::atomic<int>& started) {
        return [released = released_, &started] {
            ++started;
            released.wait();
        };
    }
    void release() { promise_.set_value(); }

  private:
    std::promise<void> promise_;
    std::shared_future<void> released_ = promise_.get_future().share();
};

TEST(WorkPool, GrowsWhileTasksWaitUpToItsCapThenQueues) {
    Gate gate;
    std::atomic<int> started{0};
    WorkPool pool(3);
    for (int i = 0; i < 5; ++i) {
        pool.post(gate.task(started));
    }
    ASSERT_TRUE(test::eventually([&] { return started == 3; }));
    EXPECT_EQ(pool.threadCount(), 3u);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(started, 3);  // the other two wait for a free thread
    gate.release();
    EXPECT_TRUE(test::eventually([&] { return started == 5; }));
    EXPECT_EQ(pool.threadCount(), 3u);
}

TEST(WorkPool, AThrowingTaskLeavesThePoolWorking) {
    std::promise<void> ran;
    WorkPool pool(1);
    pool.post([] { throw std::runtime_error("task failed"); });
    pool.post([] { throw 42; });
    pool.post([&ran] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
}

TEST(WorkPool, StopWaitsForRunningTasksAndDropsTheRest) {
    std::atomic<bool> runningFinished{false};
    std::atomic<bool> queuedRan{false};
    std::atomic<bool> started{false};
    WorkPool pool(1);
    pool.post([&] {
        started = true;
        std::this_thread::sleep_for(200ms);
        runningFinished = true;
    });
    pool.post([&] { queuedRan = true; });
    ASSERT_TRUE(test::eventually([&] { return started.load(); }));
    pool.stop();
    EXPECT_TRUE(runningFinished);
    EXPECT_FALSE(queuedRan);
    pool.post([&] { queuedRan = true; });  // after stop: dropped, not run
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(queuedRan);
}

}  // namespace
}  // namespace td::server
