#include <pwd.h>
#include <unistd.h>

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
