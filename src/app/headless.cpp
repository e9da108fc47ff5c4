#include "app/headless.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "app/agent.hpp"
#include "common/version.hpp"
#include "host/qr.hpp"

namespace td::app {
namespace {

// One line per lifecycle event, flushed at once so that a supervisor sees it immediately.
void logLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

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

AgentEvents headlessEvents() {
    AgentEvents events;
    events.listening = [bannerShown = false](Agent& agent, std::uint16_t port) mutable {
        logLine("Listening on port " + std::to_string(port) +
                " (http://127.0.0.1:" + std::to_string(port) + "/)");
        if (!bannerShown) {
            bannerShown = true;
            printPairingBanner(agent);
        }
    };
    events.bindGaveUp = [](Agent& agent) {
        logLine("Could not listen on port " + std::to_string(agent.settings().port) +
                "; running without the HTTP server");
    };
    events.updateAvailable = [](Agent&, const update::UpdateInfo& info) {
        logLine("Update available \xE2\x80\x94 " + info.version + " \xE2\x86\x92 " + info.url);
    };
    events.relayChanged = [](Agent&, bool connected) {
        logLine(connected ? "Relay connected" : "Relay lost");
    };
    return events;
}

}  // namespace

int runHeadless(const Settings& settings) {
    logLine(std::string("Tapdeck ") + VERSION + " (headless)");

    // A context of its own: GIO work done on the pool's threads lands on GLib's default context,
    // and dispatching that from this loop cost ~1.2 ms per media key here. The desktop shell
    // runs GTK's default context instead.
    MainThread mainThread(MainThread::Context::own);
    for (const int signal : {SIGINT, SIGTERM}) {
        mainThread.onSignal(signal, [&mainThread] { mainThread.quit(); });
    }

    Agent agent(settings, mainThread, headlessEvents());
    agent.start();
    mainThread.run();
    logLine("Stopping");
    agent.stop();
    return 0;
}

}  // namespace td::app
