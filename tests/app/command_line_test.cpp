#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <map>

#include "app/settings_from_environment.hpp"

namespace td::app {
namespace {

TEST(CommandLine, KnownOptionsAndUnknownOnes) {
    std::string error;
    auto plain = parseCommandLine({}, error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->action, CommandLine::Action::run);
    EXPECT_FALSE(plain->headless);
    EXPECT_TRUE(parseCommandLine({"--headless"}, error)->headless);
    EXPECT_EQ(parseCommandLine({"--headless", "--version"}, error)->action,
              CommandLine::Action::showVersion);
    EXPECT_EQ(parseCommandLine({"-h"}, error)->action, CommandLine::Action::showHelp);
    EXPECT_FALSE(parseCommandLine({"--port=1"}, error));
    EXPECT_EQ(error, "unknown option: --port=1");

    EXPECT_TRUE(shouldRunHeadless(*plain, DesktopSession::none));
    EXPECT_FALSE(shouldRunHeadless(*plain, DesktopSession::wayland));
    EXPECT_TRUE(
        shouldRunHeadless(CommandLine{CommandLine::Action::run, true}, DesktopSession::x11));
}

// Settings from a made-up environment: nothing here touches the test's own.
class FakeEnvironment {
  public:
    explicit FakeEnvironment(std::map<std::string, std::string> variables)
        : variables_(std::make_shared<std::map<std::string, std::string>>(std::move(variables))) {}
    host::EnvironmentLookup lookup() const {
        return [variables = variables_](std::string_view name) -> std::optional<std::string> {
            const auto it = variables->find(std::string(name));
            return it == variables->end() ? std::nullopt : std::optional(it->second);
        };
    }
    void set(const std::string& name, const std::string& value) { (*variables_)[name] = value; }

  private:
    std::shared_ptr<std::map<std::string, std::string>> variables_;
};

Settings settingsFor(std::map<std::string, std::string> variables) {
    return settingsFromEnvironment(FakeEnvironment(std::move(variables)).lookup());
}

TEST(Settings, PortAndFolders) {
    for (const auto& [text, port] : std::vector<std::pair<std::string, int>>{{"", 8788},
                                                                             {"0", 0},
                                                                             {"+80", 80},
                                                                             {"65535", 65535},
                                                                             {"65536", 8788},
                                                                             {"80 ", 8788},
                                                                             {"-1", 8788},
                                                                             {"0x50", 8788}}) {
        EXPECT_EQ(settingsFor({{"TD_PORT", text}}).port, port) << '"' << text << '"';
    }
    EXPECT_EQ(settingsFor({}).port, 8788);

    EXPECT_EQ(settingsFor({{"TD_SUPPORT", "/else"}, {"HOME", "/h"}}).supportFolder, "/else");
    // An empty TD_SUPPORT would put both files in "/": the default is used instead.
    EXPECT_EQ(settingsFor({{"TD_SUPPORT", ""}, {"XDG_CONFIG_HOME", "/xdg"}}).supportFolder,
              "/xdg/tapdeck");
    EXPECT_EQ(settingsFor({{"XDG_CONFIG_HOME", "relative"}, {"HOME", "/home/u"}}).supportFolder,
              "/home/u/.config/tapdeck");
    EXPECT_EQ(settingsFor({{"TD_RESOURCES", "/res"}}).resourcesFolder, "/res");
}

TEST(Settings, ServicesSessionAndLogging) {
    const Settings defaults = settingsFor({});
    EXPECT_FALSE(defaults.planner.allowPlainHttp);
    EXPECT_TRUE(defaults.planner.url.starts_with("https://"));
    EXPECT_FALSE(defaults.updateManifest.allowPlainHttp);
    EXPECT_EQ(defaults.session, DesktopSession::none);
    EXPECT_FALSE(defaults.startedBySystemd);

    const Settings chosen = settingsFor({{"ANTHROPIC_BASE_URL", "http://127.0.0.1:9//"},
                                         {"TD_UPDATE_URL", "http://127.0.0.1:9/latest.json"},
                                         {"TD_RELAY_HOST", "relay.test:8443"},
                                         {"DISPLAY", ":0"},
                                         {"INVOCATION_ID", "abc"},
                                         {"TD_DEBUG", "apps,keys"}});
    EXPECT_EQ(chosen.planner.url, "http://127.0.0.1:9");  // the API path is added to it
    EXPECT_TRUE(chosen.planner.allowPlainHttp);
    EXPECT_TRUE(chosen.updateManifest.allowPlainHttp);
    EXPECT_EQ(chosen.relayPhonePageUrl("ID"), "https://relay.test:8443/phone/ID");
    EXPECT_EQ(chosen.session, DesktopSession::x11);
    EXPECT_TRUE(chosen.startedBySystemd);
    EXPECT_EQ(chosen.debugCategories, "apps,keys");
    EXPECT_EQ(settingsFor({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}).session,
              DesktopSession::wayland);
    EXPECT_EQ(settingsFor({{"DISPLAY", ""}}).session, DesktopSession::none);
}

TEST(Settings, TheDesktopFamilyChoosesTheGesturesKeys) {
    struct Case {
        std::map<std::string, std::string> environment;
        DesktopKind desktop;
    };
    for (const auto& c :
         {Case{{{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}}, DesktopKind::gnome},
          Case{{{"XDG_CURRENT_DESKTOP", "KDE"}}, DesktopKind::kde},
          Case{{{"XDG_CURRENT_DESKTOP", "sway"}}, DesktopKind::wlroots},
          Case{{{"SWAYSOCK", "/run/user/1000/sway-ipc.sock"}}, DesktopKind::wlroots},
          Case{{{"XDG_CURRENT_DESKTOP", "XFCE"}}, DesktopKind::other},
          Case{{{"XDG_CURRENT_DESKTOP", "GNOMEish"}}, DesktopKind::other}}) {
        EXPECT_EQ(settingsFor(c.environment).desktop, c.desktop) << c.environment.begin()->second;
    }
}

TEST(Settings, ThePlannersKeyIsReadAtEveryPlan) {
    FakeEnvironment environment({});
    const Settings settings = settingsFromEnvironment(environment.lookup());
    EXPECT_EQ(settings.plannerKey(), "");
    environment.set("ANTHROPIC_API_KEY", "sk-later");
    EXPECT_EQ(settings.plannerKey(), "sk-later");
}

TEST(Help, NamesEveryVariable) {
    for (const char* name :
         {"TD_PORT", "TD_SUPPORT", "TD_RESOURCES", "TD_RELAY_HOST", "ANTHROPIC_API_KEY",
          "ANTHROPIC_BASE_URL", "TD_UPDATE_URL", "TD_DEBUG"}) {
        EXPECT_NE(usageText().find(name), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace td::app
