#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace td::app {

// `tapdeck tile ID [--label T] [--value T] [--state on|off] [--level N] [--icon EMOJI|FILE]`:
// what to send, read from the arguments after "tile".
struct TileCommand {
    std::string id;
    std::string body;  // the push, as JSON
};

// The command, or nothing with the reason in `error`. An empty value clears that member; an
// icon naming a file sends the picture in it.
std::optional<TileCommand> parseTileCommand(const std::vector<std::string>& args,
                                            std::string& error);

// Sends the push to the agent of this user listening on `port` on loopback; nothing on success,
// else why it did not take it.
std::optional<std::string> sendTileCommand(const TileCommand& command, std::uint16_t port);

// The whole command: 0, or 1 with the reason on standard error.
int runTileCommand(const std::vector<std::string>& args, std::uint16_t port);

}  // namespace td::app
