#include "app/headless.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "api/handlers.hpp"
#include "api/router.hpp"
#include "common/https_client.hpp"
#include "common/main_loop.hpp"
#include "common/version.hpp"
#include "host/qr.hpp"
#include "server/server.hpp"
#include "store/store.hpp"
#include "update/update_check.hpp"

namespace td::app {
namespace {

constexpr auto UPDATE_CHECK_INTERVAL = std::chrono::hours(24);

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

// A check now and one a day; a newer version is one log line.
void scheduleUpdateChecks(MainLoop& mainLoop, HttpsClient& https) {
    const auto source = update::updateSourceFromEnvironment();
    auto onMain = [&mainLoop](std::function<void()> task) { mainLoop.post(std::move(task)); };
    auto check = std::make_shared<std::function<void()>>();
    *check = [&mainLoop, &https, source, onMain, weak = std::weak_ptr(check)] {
        update::checkForUpdate(https, source, onMain, [](std::optional<update::UpdateInfo> info) {
            if (info) {
                logLine("Update available \xE2\x80\x94 " + info->version + " \xE2\x86\x92 " +
                        info->url);
            }
        });
        if (auto again = weak.lock()) {
            mainLoop.postAfter(UPDATE_CHECK_INTERVAL, [again] { (*again)(); });
        }
    };
    mainLoop.post([check] { (*check)(); });
}

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int runHeadless() {
    logLine(std::string("Tapdeck ") + VERSION + " (headless)");

    MainLoop mainLoop;
    // SIGINT and SIGTERM are blocked everywhere; this thread alone takes them.
    std::thread signalWaiter([&mainLoop] {
        const sigset_t set = stopSignals();
        int received = 0;
        sigwait(&set, &received);
        mainLoop.post([&mainLoop] { mainLoop.quit(); });
    });

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
    // After the server, so that it goes first: answers it still holds release their connections
    // while the server is alive.
    HttpsClient https;
    const api::ApiContext context{server, store, {}, &https};
    contextForBanner = &context;
    const api::Router router(context);
    server.setRouter([&router](const server::ConnectionPtr& connection, server::Request request) {
        router.route(connection, std::move(request));
    });
    server.start();
    scheduleUpdateChecks(mainLoop, https);

    mainLoop.run();
    logLine("Stopping");
    server.stop();
    signalWaiter.join();
    return 0;
}

}  // namespace td::app
