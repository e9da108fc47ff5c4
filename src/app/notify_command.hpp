#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace td::app {

// `tapdeck notify TEXT...`: shows the words, joined by spaces, as a notification on the paired
// phones, through the agent running for this user. 0, or 1 with the reason on standard error.
int runNotifyCommand(const std::vector<std::string>& args, std::uint16_t port);

}  // namespace td::app
