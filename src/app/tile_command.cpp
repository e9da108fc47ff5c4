#include "app/tile_command.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "app/local_agent.hpp"
#include "common/base64.hpp"
#include "common/json.hpp"
#include "tiles/tile_board.hpp"

namespace td::app {
namespace {

// The picture in a file, as a data: URL; nothing when it is not a picture we show.
std::optional<std::string> pictureFile(const std::string& path, std::string& error) {
    // Not blocking on a named pipe, and reading only a file that holds bytes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;  // not a file: an emoji
    }
    struct stat info {};
    std::string bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes.resize(tiles::MAX_ICON_IMAGE_BYTES + 1);
        const ssize_t got = ::read(fd, bytes.data(), bytes.size());
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    ::close(fd);
    const auto starts = [&bytes](std::string_view prefix, std::size_t at = 0) {
        return bytes.size() >= at + prefix.size() && bytes.compare(at, prefix.size(), prefix) == 0;
    };
    std::string type;
    if (starts("\x89PNG\r\n\x1A\n")) {
        type = "png";
    } else if (starts("\xFF\xD8\xFF")) {
        type = "jpeg";
    } else if (starts("RIFF") && starts("WEBP", 8)) {
        type = "webp";
    }
    if (type.empty() || bytes.size() > tiles::MAX_ICON_IMAGE_BYTES) {
        error = path + " is not a PNG, JPEG or WebP picture of at most 64 KiB";
        return std::nullopt;
    }
    return "data:image/" + type + ";base64," + base64Encode(bytes);
}

// The member's value as the agent reads it; nothing (with `error` set) when it cannot be one.
std::optional<Json> memberValue(const std::string& name, const std::string& text,
                                std::string& error) {
    if (text.empty()) {
        return Json(nullptr);
    }
    if (name == "level") {
        char* end = nullptr;
        const double level = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') {
            error = "--level takes a number from 0 to 100";
            return std::nullopt;
        }
        return Json(level);
    }
    if (name == "icon") {
        if (auto picture = pictureFile(text, error)) {
            return Json(*picture);
        }
        if (!error.empty()) {
            return std::nullopt;
        }
    }
    return Json(text);
}

// What the agent said, as text for a terminal: whatever answers on the port may be another
// program, and its words must not drive the terminal.
}  // namespace

std::optional<TileCommand> parseTileCommand(const std::vector<std::string>& args,
                                            std::string& error) {
    if (args.empty() || !tiles::isTileId(args[0])) {
        error = args.empty()
                    ? "which tile? tapdeck tile ID [--label T] ..."
                    : "\"" + args[0] + "\" is not a tile id (1 to 64 of a-z, 0-9, _ and -)";
        return std::nullopt;
    }
    static const std::map<std::string, std::string> OPTIONS = {{"--label", "label"},
                                                               {"--value", "value"},
                                                               {"--state", "state"},
                                                               {"--level", "level"},
                                                               {"--icon", "icon"}};
    Json body = Json::object();
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> text;
        if (const auto equals = option.find('='); equals != std::string::npos) {
            text = option.substr(equals + 1);
            option.resize(equals);
        }
        const auto known = OPTIONS.find(option);
        if (known == OPTIONS.end()) {
            error = "unknown option: " + option;
            return std::nullopt;
        }
        if (!text) {
            if (i + 1 >= args.size()) {
                error = option + " needs a value (an empty one clears it)";
                return std::nullopt;
            }
            text = args[++i];
        }
        auto value = memberValue(known->second, *text, error);
        if (!value) {
            return std::nullopt;
        }
        body[known->second] = std::move(*value);
    }
    if (body.empty()) {
        error = "nothing to send: give --label, --value, --state, --level or --icon";
        return std::nullopt;
    }
    return TileCommand{args[0], dumpCompact(body)};
}

std::optional<std::string> sendTileCommand(const TileCommand& command, std::uint16_t port) {
    return postToLocalAgent(port, "/api/tiles/" + command.id, command.body);
}

int runTileCommand(const std::vector<std::string>& args, std::uint16_t port) {
    std::string error;
    const auto command = parseTileCommand(args, error);
    if (!command) {
        std::fprintf(stderr, "tapdeck tile: %s\n", error.c_str());
        return 1;
    }
    if (port == 0) {
        std::fputs("tapdeck tile: TD_PORT is 0; set it to the port the agent listens on\n", stderr);
        return 1;
    }
    if (const auto failed = sendTileCommand(*command, port)) {
        std::fprintf(stderr, "tapdeck tile: %s\n", failed->c_str());
        return 1;
    }
    return 0;
}

}  // namespace td::app
