#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <system_error>

#include "host/platform.hpp"

namespace td::host {
namespace {

std::optional<std::string> nonEmpty(const EnvironmentLookup& environment, std::string_view name) {
    auto value = environment(name);
    return value && !value->empty() ? value : std::nullopt;
}

bool isThere(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::filesystem::path homeFolder(const EnvironmentLookup& environment) {
    if (auto home = nonEmpty(environment, "HOME")) {
        return *home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/tmp";
}

}  // namespace

std::filesystem::path userConfigFolder(const EnvironmentLookup& environment) {
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and must be ignored.
    const auto xdg = nonEmpty(environment, "XDG_CONFIG_HOME");
    return xdg && xdg->front() == '/' ? std::filesystem::path(*xdg)
                                      : homeFolder(environment) / ".config";
}

std::filesystem::path userDataFolder(const EnvironmentLookup& environment) {
    const auto xdg = nonEmpty(environment, "XDG_DATA_HOME");
    return xdg && xdg->front() == '/' ? std::filesystem::path(*xdg)
                                      : homeFolder(environment) / ".local" / "share";
}

std::filesystem::path downloadFolder(const EnvironmentLookup& environment) {
    const std::filesystem::path home = homeFolder(environment);
    // A line as xdg-user-dirs writes it: XDG_DOWNLOAD_DIR="$HOME/Downloads".
    const auto expanded = [&home](std::string value) -> std::optional<std::filesystem::path> {
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.starts_with("$HOME")) {
            value = home.string() + value.substr(5);
        }
        if (value.empty() || value.front() != '/' || std::filesystem::path(value) == home) {
            return std::nullopt;  // a download folder that is the home itself is none
        }
        return std::filesystem::path(value);
    };
    if (const auto fromEnvironment = nonEmpty(environment, "XDG_DOWNLOAD_DIR")) {
        if (auto folder = expanded(*fromEnvironment)) {
            return *folder;
        }
    }
    std::ifstream dirs(userConfigFolder(environment) / "user-dirs.dirs");
    for (std::string line; std::getline(dirs, line);) {
        constexpr std::string_view KEY = "XDG_DOWNLOAD_DIR=";
        if (line.starts_with(KEY)) {
            if (auto folder = expanded(line.substr(KEY.size()))) {
                return *folder;
            }
        }
    }
    return home / "Downloads";
}

std::filesystem::path defaultSupportFolder(const EnvironmentLookup& environment) {
    return userConfigFolder(environment) / "tapdeck";
}

std::filesystem::path executableFolder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : exe.parent_path();
}

std::filesystem::path defaultResourcesFolder() {
    const std::filesystem::path exeDir = executableFolder();
    if (!exeDir.empty()) {
        for (const auto& candidate : {exeDir, exeDir.parent_path() / "share" / "tapdeck"}) {
            if (isThere(candidate / "public")) {
                return candidate;
            }
        }
    }
    return ".";
}

std::filesystem::path modulePath(const std::string& fileName) {
    const std::filesystem::path exeDir = executableFolder();
    const std::filesystem::path beside = exeDir / fileName;
    return isThere(beside) ? beside : exeDir.parent_path() / "lib" / "tapdeck" / fileName;
}

DesktopSession desktopSession(const EnvironmentLookup& environment) {
    if (nonEmpty(environment, "WAYLAND_DISPLAY")) {
        return DesktopSession::wayland;
    }
    if (nonEmpty(environment, "DISPLAY")) {
        return DesktopSession::x11;
    }
    return DesktopSession::none;
}

bool startedByServiceManager(const EnvironmentLookup& environment) {
    return nonEmpty(environment, "INVOCATION_ID").has_value();  // systemd sets it for services
}

DesktopKind desktopKind(const EnvironmentLookup& environment) {
    // A colon-separated list, most specific first ("ubuntu:GNOME").
    const std::string names = ":" + environment("XDG_CURRENT_DESKTOP").value_or("") + ":";
    const auto has = [&](std::string_view name) {
        return names.find(":" + std::string(name) + ":") != std::string::npos;
    };
    if (has("GNOME") || has("GNOME-Classic") || has("Unity")) {
        return DesktopKind::gnome;
    }
    if (has("KDE")) {
        return DesktopKind::kde;
    }
    if (has("sway") || has("Hyprland") || has("river") || has("wlroots") ||
        nonEmpty(environment, "SWAYSOCK")) {
        return DesktopKind::wlroots;
    }
    return DesktopKind::other;
}

}  // namespace td::host
