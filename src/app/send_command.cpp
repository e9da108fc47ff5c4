#include "app/send_command.hpp"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "app/local_agent.hpp"
#include "common/json.hpp"
#include "common/web_url.hpp"

namespace td::app {
namespace {

// What the agent takes as one text.
constexpr std::size_t MAX_TEXT_BYTES = 1024 * 1024;

bool looksLikePath(const std::string& arg) {
    return arg.starts_with('/') || arg.starts_with("./") || arg.starts_with("../") ||
           arg.starts_with("~/");
}

}  // namespace

std::optional<std::string> sendCommandBody(const std::vector<std::string>& args,
                                           const std::string& standardInput, std::string& error) {
    if (args.empty()) {
        error = "give the files, links or texts to send";
        return std::nullopt;
    }
    Json items = Json::array();
    for (const std::string& arg : args) {
        std::error_code ec;
        const std::filesystem::path path(arg);
        if (arg == "-") {
            if (standardInput.empty() || standardInput.size() > MAX_TEXT_BYTES) {
                error = "standard input must hold 1 byte to 1 MiB of text";
                return std::nullopt;
            }
            items.push_back({{"text", standardInput}});
        } else if (std::filesystem::is_regular_file(path, ec)) {
            items.push_back(
                {{"path", std::filesystem::absolute(path, ec).lexically_normal().string()}});
        } else if (std::filesystem::exists(path, ec)) {
            error = arg + " is not a file (folders are not sent)";
            return std::nullopt;
        } else if (isWebUrl(arg)) {
            items.push_back({{"url", arg}});
        } else if (looksLikePath(arg)) {
            error = "no such file: " + arg;
            return std::nullopt;
        } else {
            items.push_back({{"text", arg}});
        }
    }
    return dumpCompact(Json{{"items", items}});
}

int runSendCommand(const std::vector<std::string>& args, std::uint16_t port) {
    if (args == std::vector<std::string>{"--choose"}) {
        // The desktop's own file chooser, through the agent's menu.
        if (const auto failed = postToLocalAgent(port, "/api/send-to-phone", "{}")) {
            std::fprintf(stderr, "tapdeck send: %s\n", failed->c_str());
            return 1;
        }
        return 0;
    }
    std::string input;
    if (std::find(args.begin(), args.end(), "-") != args.end()) {
        input.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::string error;
    const auto body = sendCommandBody(args, input, error);
    if (!body) {
        std::fprintf(stderr, "tapdeck send: %s\n", error.c_str());
        return 1;
    }
    if (port == 0) {
        std::fputs("tapdeck send: TD_PORT is 0; set it to the port the agent listens on\n", stderr);
        return 1;
    }
    if (const auto failed = postToLocalAgent(port, "/api/inbox", *body)) {
        std::fprintf(stderr, "tapdeck send: %s\n", failed->c_str());
        return 1;
    }
    std::printf("Sent to your phones: open Tapdeck there to take %s.\n",
                args.size() == 1 ? "it" : "them");
    return 0;
}

}  // namespace td::app
