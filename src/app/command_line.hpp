#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/settings.hpp"

namespace td::app {

struct CommandLine {
    enum class Action { run, showVersion, showHelp };
    Action action = Action::run;
    bool headless = false;
};

// The parsed arguments, or nothing (with a message in `error`) when one is not understood.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);

std::string usageText();

// Headless when asked, or when there is no display to show a window on.
bool shouldRunHeadless(const CommandLine& commandLine, DesktopSession session);

}  // namespace td::app
