#include "app/command_line.hpp"

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
           "       tapdeck tile ID [--label T] [--value T] [--state on|off] [--level N]\n"
           "                       [--icon EMOJI|FILE]\n"
           "       tapdeck send FILE|URL|TEXT|- ... | --choose\n"
           "       tapdeck notify TEXT...\n"
           "\n"
           "Tapdeck turns your phone into a remote control for this computer.\n"
           "\n"
           "  --headless   run without tray icon or windows; log to standard output\n"
           "               (the default when there is no display)\n"
           "  --version    print the version and exit\n"
           "  --help       print this help and exit\n"
           "  tile ID ...  show a label, value, state, level or icon on the tile with this\n"
           "               id, through the agent running for this user (an empty value\n"
           "               clears it); exits 0, or 1 with the reason\n"
           "  send ...     offer files, links or texts (\"-\": standard input) to the paired\n"
           "               phones for an hour, through the agent running for this user;\n"
           "               --choose asks for files in the desktop's file chooser\n"
           "  notify TEXT  show TEXT as a notification on the paired phones, through the\n"
           "               agent running for this user\n"
           "\n"
           "Environment:\n"
           "  TD_PORT             HTTP port (default 8788; 0 picks a free one)\n"
           "  TD_SUPPORT          folder for state.json and config.json\n"
           "                      (default $XDG_CONFIG_HOME/tapdeck, i.e. ~/.config/tapdeck)\n"
           "  TD_RESOURCES        folder holding public/ and the shipped config.json\n"
           "  TD_RELAY_HOST       host[:port] of the relay service\n"
           "  TD_RELAY_CONNECT    ADDRESS:PORT to reach the relay at, whatever its name\n"
           "                      resolves to (split DNS, tests)\n"
           "  TD_ACME_DIRECTORY   the ACME directory that certifies this computer for a\n"
           "                      relay that passes phones' TLS (default Let's Encrypt)\n"
           "  ANTHROPIC_API_KEY   the planner's key, read at every plan\n"
           "  ANTHROPIC_BASE_URL  the Messages API's base address\n"
           "  TD_UPDATE_URL       the update manifest's address\n"
           "  TD_DEBUG            debug log categories, comma-separated, or \"all\":\n"
           "                      apps, icons, keys, media, tools, http, https, store,\n"
           "                      planner, update, main, relay, transfer, bridge\n";
}

bool shouldRunHeadless(const CommandLine& commandLine, DesktopSession session) {
    return commandLine.headless || session == DesktopSession::none;
}

}  // namespace td::app
