#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/desktop.hpp"
#include "app/headless.hpp"
#include "app/notify_command.hpp"
#include "app/process_setup.hpp"
#include "app/send_command.hpp"
#include "app/settings_from_environment.hpp"
#include "app/tile_command.hpp"
#include "common/log.hpp"
#include "common/version.hpp"

int main(int argc, char** argv) {
    using td::app::CommandLine;
    // Scripts, cron jobs and udev rules call this: it sends one request and reads nothing else.
    if (argc >= 2 && std::string(argv[1]) == "tile") {
        const td::Settings settings =
            td::app::settingsFromEnvironment(td::app::processEnvironment());
        return td::app::runTileCommand(std::vector<std::string>(argv + 2, argv + argc),
                                       settings.port);
    }
    if (argc >= 2 && std::string(argv[1]) == "send") {
        const td::Settings settings =
            td::app::settingsFromEnvironment(td::app::processEnvironment());
        return td::app::runSendCommand(std::vector<std::string>(argv + 2, argv + argc),
                                       settings.port);
    }
    if (argc >= 2 && std::string(argv[1]) == "notify") {
        const td::Settings settings =
            td::app::settingsFromEnvironment(td::app::processEnvironment());
        return td::app::runNotifyCommand(std::vector<std::string>(argv + 2, argv + argc),
                                         settings.port);
    }
    std::string error;
    const auto commandLine =
        td::app::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!commandLine) {
        std::fprintf(stderr, "tapdeck: %s\n\n%s", error.c_str(), td::app::usageText().c_str());
        return 2;
    }
    switch (commandLine->action) {
        case CommandLine::Action::showVersion:
            std::printf("tapdeck %s\n", td::VERSION);
            return 0;
        case CommandLine::Action::showHelp:
            std::fputs(td::app::usageText().c_str(), stdout);
            return 0;
        case CommandLine::Action::run:
            break;
    }
    try {
        const td::Settings settings =
            td::app::settingsFromEnvironment(td::app::processEnvironment());
        for (const std::string& unknown : td::log::enable(settings.debugCategories)) {
            std::fprintf(stderr, "tapdeck: TD_DEBUG: no log category \"%s\"\n", unknown.c_str());
        }
        if (const auto problem = td::app::supportFolderProblem(settings.supportFolder)) {
            std::fprintf(stderr, "tapdeck: %s\n", problem->c_str());
            return 1;
        }
        td::app::raiseDescriptorLimit();
        // A peer or a tool that goes away mid-write must fail that write, not end the agent.
        // Tools are started with the default disposition again.
        std::signal(SIGPIPE, SIG_IGN);
        if (!td::app::shouldRunHeadless(*commandLine, settings.session)) {
            if (const auto status = td::app::runDesktop(settings)) {
                return *status;
            }
            std::fputs("tapdeck: the desktop shell cannot be loaded; running headless\n", stderr);
        }
        return td::app::runHeadless(settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tapdeck: %s\n", e.what());
        return 1;
    }
}
