#include "app/command_line.hpp"

#include <cstdlib>

namespace td::app {

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
    CommandLine parsed;
    for (const std::string& arg : args) {
        if (arg == "--headless") {
            parsed.headless = true;
        } else if (arg == "--version" || arg == "-V") {
            parsed.action = CommandLine::Action::showVersion;
        } else if (arg == "--help" || arg == "-h") {
            parsed.action = CommandLine::Action::showHelp;
        } else {
            error = "unknown option: " + arg;
            return std::nullopt;
        }
    }
    return parsed;
}

std::string usageText() {
    return "Usage: tapdeck [--headless] [--version] [--help]\n"
           "\n"
           "Tapdeck turns your phone into a remote control for this computer.\n"
           "\n"
           "  --headless   run without tray icon or windows; log to standard output\n"
           "               (the default when there is no display)\n"
           "  --version    print the version and exit\n"
           "  --help       print this help and exit\n"
           "\n"
           "Environment:\n"
           "  TD_PORT        HTTP port (default 8788; 0 picks a free one)\n"
           "  TD_SUPPORT     folder for state.json and config.json\n"
           "  TD_RESOURCES   folder holding public/ and the shipped config.json\n";
}

bool shouldRunHeadless(const CommandLine& commandLine) {
    auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return commandLine.headless || (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY"));
}

}  // namespace td::app
