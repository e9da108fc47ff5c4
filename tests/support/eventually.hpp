#pragma once

#include <chrono>
#include <thread>

namespace td::test {

// Polls `condition` until it holds or `bound` has passed; whether it held.
template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds bound = std::chrono::milliseconds(10'000)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace td::test
