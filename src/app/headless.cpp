#include "app/headless.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "api/handlers.hpp"
#include "api/router.hpp"
#include "common/version.hpp"
#include "host/qr.hpp"
#include "server/server.hpp"
#include "store/store.hpp"

namespace td::app {
namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// One line per lifecycle event, flushed at once so that a supervisor sees it immediately.
void logLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The only time a PIN or a pairing code is printed: once, when the agent first listens.
void printPairingBanner(const api::ApiContext& context) {
    const std::string link = api::handlers::pairingLink(context);
    std::string banner = "Pair a phone: PIN " + context.store.pinValue() + ", or open " + link +
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

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int runHeadless() {
    std::signal(SIGPIPE, SIG_IGN);
    logLine(std::string("Tapdeck ") + VERSION + " (headless)");

    store::Store& store = store::Store::shared();
    server::ServerOptions options = server::Server::optionsFromEnvironment();
    // Set below, before the server starts; read on the network thread once it listens.
    const api::ApiContext* contextForBanner = nullptr;
    std::atomic<bool> bannerShown{false};
    options.onListening = [&](std::uint16_t port) {
        logLine("Listening on port " + std::to_string(port) +
                " (http://127.0.0.1:" + std::to_string(port) + "/)");
        if (!bannerShown.exchange(true)) {
            printPairingBanner(*contextForBanner);
        }
    };
    options.onBindGaveUp = [port = options.port] {
        logLine("Could not listen on port " + std::to_string(port) +
                "; running without the HTTP server");
    };
    server::Server server(std::move(options));
    const api::ApiContext context{server, store};
    contextForBanner = &context;
    const api::Router router(context);
    server.setRouter([&router](const server::ConnectionPtr& connection, server::Request request) {
        router.route(connection, std::move(request));
    });
    server.start();

    const sigset_t set = stopSignals();
    int received = 0;
    sigwait(&set, &received);
    logLine("Stopping");
    server.stop();
    return 0;
}

}  // namespace td::app
