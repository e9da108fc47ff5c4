#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace td::app {
namespace {

TEST(CommandLine, KnownOptionsAndUnknownOnes) {
    std::string error;
    auto plain = parseCommandLine({}, error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->action, CommandLine::Action::run);
    EXPECT_FALSE(plain->headless);

    auto headless = parseCommandLine({"--headless"}, error);
    ASSERT_TRUE(headless);
    EXPECT_TRUE(headless->headless);

    EXPECT_EQ(parseCommandLine({"--headless", "--version"}, error)->action,
              CommandLine::Action::showVersion);
    EXPECT_EQ(parseCommandLine({"-h"}, error)->action, CommandLine::Action::showHelp);

    EXPECT_FALSE(parseCommandLine({"--port=1"}, error));
    EXPECT_EQ(error, "unknown option: --port=1");
}

TEST(CommandLine, HeadlessWithoutAnyDisplay) {
    const CommandLine plain;
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_TRUE(shouldRunHeadless(plain));
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_FALSE(shouldRunHeadless(plain));
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("DISPLAY", "", 1);
    EXPECT_TRUE(shouldRunHeadless(plain));
    ::setenv("DISPLAY", ":0", 1);
    EXPECT_FALSE(shouldRunHeadless(plain));
    EXPECT_TRUE(shouldRunHeadless(CommandLine{CommandLine::Action::run, true}));
    ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace td::app
