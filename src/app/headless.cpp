#include "app/headless.hpp"

#include <csignal>
#include <cstdio>
#include <string>

#include "app/agent.hpp"
#include "app/lifecycle_log.hpp"
#include "common/version.hpp"

namespace td::app {

int runHeadless(const Settings& settings) {
    logLine(std::string("Tapdeck ") + VERSION + " (headless)");

    // A context of its own: GIO work done on the pool's threads lands on GLib's default context,
    // and dispatching that from this loop cost ~1.2 ms per media key here. The desktop shell
    // runs GTK's default context instead.
    MainThread mainThread(MainThread::Context::own);
    for (const int signal : {SIGINT, SIGTERM}) {
        mainThread.onSignal(signal, [&mainThread] { mainThread.quit(); });
    }

    Agent agent(settings, mainThread, loggedEvents());
    agent.start();
    mainThread.run();
    logLine("Stopping");
    agent.stop();
    return 0;
}

}  // namespace td::app
