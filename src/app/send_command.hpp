#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace td::app {

// `tapdeck send PATH|URL|TEXT...`: what to offer the phones, as the body of POST /api/inbox.
// An argument naming a file is that file (by its absolute path); one that is a web link, a
// link; "-" the text on standard input (`standardInput`); anything else, a text. Nothing,
// with the reason in `error`, for a folder, a path to nothing, or no argument.
std::optional<std::string> sendCommandBody(const std::vector<std::string>& args,
                                           const std::string& standardInput, std::string& error);

// The whole command: 0, or 1 with the reason on standard error.
int runSendCommand(const std::vector<std::string>& args, std::uint16_t port);

}  // namespace td::app
