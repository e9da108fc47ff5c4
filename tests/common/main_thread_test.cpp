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

TEST(MainThread, DelaysAndRepeats) {
    MainThread main(MainThread::Context::own);
    std::vector<std::string> events;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration lateTaskAt{};
    int ticks = 0;
    main.postAfter(150ms, [&] {
        events.push_back("late");
        lateTaskAt = std::chrono::steady_clock::now() - start;
    });
    main.postAfter(10ms, [&] { events.push_back("early"); });
    main.postEvery(20ms, [&] {
        if (++ticks == 3) {
            events.push_back("third tick");
        }
    });
    main.postAfter(250ms, [&main] { main.quit(); });
    main.run();
    ASSERT_EQ(events, (std::vector<std::string>{"early", "third tick", "late"}));
    EXPECT_GE(lateTaskAt, 150ms);
    EXPECT_GE(ticks, 5);  // kept repeating until the loop ended
}

}  // namespace
}  // namespace td
