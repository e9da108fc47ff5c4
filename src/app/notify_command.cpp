#include "app/notify_command.hpp"

#include <cstdio>

#include "app/local_agent.hpp"
#include "bridge/notification_text.hpp"
#include "common/json.hpp"

namespace td::app {

int runNotifyCommand(const std::vector<std::string>& args, std::uint16_t port) {
    std::string text;
    for (const std::string& word : args) {
        text += (text.empty() ? "" : " ") + word;
    }
    if (text.empty()) {
        std::fputs("tapdeck notify: give the text to show\n", stderr);
        return 1;
    }
    if (port == 0) {
        std::fputs("tapdeck notify: TD_PORT is 0; set it to the port the agent listens on\n",
                   stderr);
        return 1;
    }
    // A phone shows the first 200 characters: a longer text is cut here rather than refused
    // for its size.
    const std::string shown(bridge::utf8Prefix(text, 2048));
    if (const auto failed =
            postToLocalAgent(port, "/api/notify", dumpCompact(Json{{"summary", shown}}))) {
        std::fprintf(stderr, "tapdeck notify: %s\n", failed->c_str());
        return 1;
    }
    return 0;
}

}  // namespace td::app
