#include "common/log.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>

namespace td::log {
namespace {

constexpr std::array<std::string_view, 14> NAMES = {
    "apps",  "icons",   "keys",   "media", "tools", "http",     "https",
    "store", "planner", "update", "main",  "relay", "transfer", "bridge",
};

// Written once by `enable` at start, read by every thread after; a bit per category.
std::atomic<unsigned> switchedOn{0};

unsigned bit(Category category) {
    return 1u << static_cast<unsigned>(category);
}

}  // namespace

std::vector<std::string> enable(std::string_view list) {
    unsigned mask = 0;
    std::vector<std::string> unknown;
    while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        const std::string_view name = list.substr(0, comma);
        list.remove_prefix(std::min(comma + 1, list.size()));
        if (name.empty()) {
            continue;
        }
        if (name == "all") {
            mask = ~0u;
            continue;
        }
        bool known = false;
        for (std::size_t i = 0; i < NAMES.size(); ++i) {
            if (NAMES[i] == name) {
                mask |= 1u << i;
                known = true;
            }
        }
        if (!known) {
            unknown.emplace_back(name);
        }
    }
    switchedOn.store(mask, std::memory_order_relaxed);
    return unknown;
}

bool enabled(Category category) {
    return (switchedOn.load(std::memory_order_relaxed) & bit(category)) != 0;
}

void write(Category category, std::string_view message) {
    std::string line = "tapdeck[";
    line.append(NAMES[static_cast<std::size_t>(category)]).append("]: ").append(message);
    line.push_back('\n');
    std::fputs(line.c_str(), stderr);  // one call: lines of two threads never interleave
}

}  // namespace td::log
