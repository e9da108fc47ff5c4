#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace td::app {

// POSTs the JSON `body` to `path` of the agent of this user listening on `port` on loopback,
// all within 10 s; nothing on success (200 with "ok": true), else why not, in words. `answer`
// receives the answer's body.
std::optional<std::string> postToLocalAgent(std::uint16_t port, const std::string& path,
                                            const std::string& body, std::string* answer = nullptr);

}  // namespace td::app
