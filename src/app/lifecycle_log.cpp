#include "app/lifecycle_log.hpp"

#include <unistd.h>

#include <cstdio>

#include "host/qr.hpp"

namespace td::app {

void logLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

namespace {

// The only time a PIN or a pairing code is printed: once, when the agent first listens.
void printPairingBanner(Agent& agent) {
    const std::string link = agent.pairingLink();
    std::string banner = "Pair a phone: PIN " + agent.store().pinValue() + ", or open " + link +
                         " (valid for 10 minutes)\n";
    if (::isatty(STDOUT_FILENO)) {
        if (auto matrix = host::qrMatrix(link)) {
            banner += host::qrTerminalText(*matrix);
        }
    }
    std::fputs(banner.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

AgentEvents loggedEvents() {
    AgentEvents events;
    events.listening = [bannerShown = false](Agent& agent, std::uint16_t port) mutable {
        logLine("Listening on port " + std::to_string(port) +
                " (http://127.0.0.1:" + std::to_string(port) + "/)");
        if (!bannerShown) {
            bannerShown = true;
            printPairingBanner(agent);
        }
    };
    events.bindGaveUp = [](Agent& agent, const PortProblem& problem) {
        logLine("Could not listen on port " + std::to_string(agent.settings().port) +
                "; running without the HTTP server. " + problem.details);
    };
    events.updateAvailable = [](Agent&, const update::UpdateInfo& info) {
        logLine("Update available \xE2\x80\x94 " + info.version + " \xE2\x86\x92 " + info.url);
    };
    events.relayChanged = [](Agent&, bool connected) {
        logLine(connected ? "Relay connected" : "Relay lost");
    };
    return events;
}

}  // namespace td::app
