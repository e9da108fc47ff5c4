#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace td::test {

// The agent's binary run as a user would, over a support folder of the test's: on a free port
// (TD_PORT=0), with the update check sent to a closed local port, never out of the machine.
// `env` entries ("NAME=value") take precedence over those and the test's own environment.
class AgentProcess : public ChildProcess {
  public:
    explicit AgentProcess(const std::filesystem::path& support,
                          std::vector<std::string> args = {"--headless"},
                          std::vector<std::string> env = {});

    // The port of its "Listening on port N" line, once printed; 0 when it never was.
    std::uint16_t port();
    // The PIN of its start banner; empty when none was printed.
    std::string pin();
    // The token of a phone paired with that PIN from `address` (another computer on the
    // network); empty when pairing failed.
    std::string pairPhone(const char* address = "127.0.0.2");
};

}  // namespace td::test
