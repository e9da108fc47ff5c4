#include "app/headless.hpp"

#include <csignal>
#include <cstdio>
#include <string>

#include "api/router.hpp"
#include "common/version.hpp"
#include "server/server.hpp"

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

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int runHeadless() {
    std::signal(SIGPIPE, SIG_IGN);
    logLine(std::string("Tapdeck ") + VERSION + " (headless)");

    server::ServerOptions options = server::Server::optionsFromEnvironment();
    options.onListening = [](std::uint16_t port) {
        logLine("Listening on port " + std::to_string(port) +
                " (http://127.0.0.1:" + std::to_string(port) + "/)");
    };
    options.onBindGaveUp = [port = options.port] {
        logLine("Could not listen on port " + std::to_string(port) +
                "; running without the HTTP server");
    };
    server::Server server(std::move(options));
    const api::Router router(server, api::endpoints(server));
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
