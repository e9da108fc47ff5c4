#include "common/main_thread.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace td {
namespace {

using namespace std::chrono_literals;

TEST(MainThread, RunsTasksFromAnyThreadInOrderOnTheLoopsThread) {
    MainThread main(MainThread::Context::own);
    std::vector<int> order;
    std::vector<std::thread::id> ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i) {
            main.post([&, i] {
                order.push_back(i);
                ranOn.push_back(std::this_thread::get_id());
            });
        }
        main.quit();
    });
    poster.join();
    main.run();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(ranOn.front(), std::this_thread::get_id());
    EXPECT_EQ(ranOn.back(), std::this_thread::get_id());
}

// Each task waits at least its delay and a repeating one goes on; however a loaded machine
// delays the loop, nothing runs early.
TEST(MainThread, DelaysAndRepeats) {
    MainThread main(MainThread::Context::own);
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration earlyAt{}, lateAt{};
    int ticks = 0;
    const auto quitOnceDone = [&] {
        if (lateAt.count() > 0 && ticks >= 5) {
            main.quit();
        }
    };
    main.postAfter(150ms, [&] {
        lateAt = std::chrono::steady_clock::now() - start;
        quitOnceDone();
    });
    main.postAfter(10ms, [&] { earlyAt = std::chrono::steady_clock::now() - start; });
    main.postEvery(20ms, [&] {
        ++ticks;
        quitOnceDone();
    });
    main.run();
    EXPECT_GE(earlyAt, 10ms);
    EXPECT_GE(lateAt, 150ms);
    EXPECT_GE(ticks, 5);  // kept repeating
}

}  // namespace
}  // namespace td
