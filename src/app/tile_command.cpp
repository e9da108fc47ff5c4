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

#include "common/base64.hpp"
#include "common/json.hpp"
#include "tiles/tile_board.hpp"

namespace td::app {
namespace {

// A script's call must not hang it: the agent answers a push at once.
constexpr timeval REPLY_TIME_LIMIT{10, 0};
constexpr std::size_t MAX_REPLY_BYTES = 64 * 1024;

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
std::string printable(const std::string& text) {
    constexpr std::size_t MAX_REASON = 300;
    std::string shown = tiles::withoutFormatting(text);
    if (shown.size() > MAX_REASON) {
        shown.resize(MAX_REASON);
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) {
            shown.pop_back();  // not half a character
        }
        if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) {
            shown.pop_back();
        }
    }
    return shown;
}

std::optional<std::string> replyError(const std::string& reply, std::uint16_t port) {
    const auto lineEnd = reply.find("\r\n");
    const auto headEnd = reply.find("\r\n\r\n");
    if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || lineEnd == std::string::npos ||
        headEnd == std::string::npos) {
        return "what answers on port " + std::to_string(port) + " is not Tapdeck";
    }
    const int status = std::atoi(reply.c_str() + 9);
    const UntrustedJson body = parseObjectOrEmpty(std::string_view(reply).substr(headEnd + 4));
    if (status == 200 && body.value("ok", false)) {
        return std::nullopt;
    }
    if (status == 401) {
        return "the Tapdeck on port " + std::to_string(port) +
               " does not take this user's requests (is it another user's?)";
    }
    const auto error = body.find("error");
    return error != body.end() && error->is_string()
               ? printable(error->get<std::string>())
               : "the agent answered " + std::to_string(status);
}

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

// Whoever answers on the port gets the whole exchange, connecting included, within
// REPLY_TIME_LIMIT: a peer slow to accept or sending a byte at a time must not hold the script.
class Deadline {
  public:
    Deadline()
        : at_(std::chrono::steady_clock::now() + std::chrono::seconds(REPLY_TIME_LIMIT.tv_sec)) {}
    bool passed() const { return std::chrono::steady_clock::now() >= at_; }
    // Gives the socket's next wait (SO_RCVTIMEO or SO_SNDTIMEO) what is left; false when
    // nothing is.
    bool limit(int fd, int option) const {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            at_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const timeval wait{static_cast<time_t>(left.count() / 1'000'000),
                           static_cast<suseconds_t>(left.count() % 1'000'000)};
        return ::setsockopt(fd, SOL_SOCKET, option, &wait, sizeof wait) == 0;
    }

  private:
    std::chrono::steady_clock::time_point at_;
};

std::optional<std::string> sendTileCommand(const TileCommand& command, std::uint16_t port) {
    const Deadline deadline;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("cannot open a socket: ") + std::strerror(errno);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    deadline.limit(fd, SO_SNDTIMEO);  // connect waits as a send does
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int why = errno;
        ::close(fd);
        return "Tapdeck is not answering on port " + std::to_string(port) + " (" +
               std::strerror(why) + "); is it running? (TD_PORT names another port)";
    }
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string request = "POST /api/tiles/" + command.id + " HTTP/1.1\r\nHost: " + host +
                                "\r\nContent-Type: application/json\r\nContent-Length: " +
                                std::to_string(command.body.size()) +
                                "\r\nConnection: close\r\n\r\n" + command.body;
    std::string_view left = request;
    while (!left.empty()) {
        const ssize_t sent = deadline.limit(fd, SO_SNDTIMEO)
                                 ? ::send(fd, left.data(), left.size(), MSG_NOSIGNAL)
                                 : -1;
        if (sent <= 0) {
            ::close(fd);
            return "the agent did not take the request";
        }
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    std::string reply;
    char buffer[4096];
    ssize_t got = 0;
    while (reply.size() < MAX_REPLY_BYTES && deadline.limit(fd, SO_RCVTIMEO) &&
           (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (got != 0 && deadline.passed()) {
        return "the agent did not answer within 10 s";
    }
    return replyError(reply, port);
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
