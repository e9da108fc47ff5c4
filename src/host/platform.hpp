#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/settings.hpp"

// What the agent needs to know about the platform it runs on, beyond the actions themselves.
namespace td::host {

// Reads one environment variable; nothing when it is unset.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path userConfigFolder(const EnvironmentLookup& environment);

// The user's data folder: $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path userDataFolder(const EnvironmentLookup& environment);

// The user's download folder: XDG_DOWNLOAD_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (or the
// environment), else ~/Downloads.
std::filesystem::path downloadFolder(const EnvironmentLookup& environment);

// Where the agent keeps state.json and config.json when TD_SUPPORT does not say.
std::filesystem::path defaultSupportFolder(const EnvironmentLookup& environment);

// The folder of the running executable; empty when it cannot be told.
std::filesystem::path executableFolder();

// Where the shipped public/ and config.json are when TD_RESOURCES does not say: beside the
// executable (a build tree) or where the install put them.
std::filesystem::path defaultResourcesFolder();

// A loadable module of the agent's (tapdeck-gtk.so, say), beside the executable or installed.
std::filesystem::path modulePath(const std::string& fileName);

// The desktop session the environment describes; none when there is no display.
DesktopSession desktopSession(const EnvironmentLookup& environment);

// The family of desktop XDG_CURRENT_DESKTOP names (or sway's own socket variable shows).
DesktopKind desktopKind(const EnvironmentLookup& environment);

// Whether a service manager started the agent (then it does not register itself to start at
// login: the service does that).
bool startedByServiceManager(const EnvironmentLookup& environment);

}  // namespace td::host
