#pragma once

#include <cstdlib>

namespace td::fuzz {

// A property the fuzzer checks: when it does not hold, the input is a crasher.
inline void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace td::fuzz
