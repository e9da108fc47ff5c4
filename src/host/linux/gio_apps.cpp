#include <gio/gdesktopappinfo.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/log.hpp"
#include "common/web_url.hpp"
#include "host/apps.hpp"
#include "host/linux/desktop_entries.hpp"

namespace td::host {

std::vector<std::string> listApps() {
    return shownAppNames();
}

namespace {

// Debian's choice of terminal (update-alternatives), else the first one installed.
std::optional<std::string> defaultTerminal() {
    const auto terminals = shownAppsInCategory("TerminalEmulator");
    std::error_code ec;
    const auto chosen = std::filesystem::canonical("/usr/bin/x-terminal-emulator", ec);
    for (const NamedProgram& terminal : terminals) {
        const glib::Chars path(g_find_program_in_path(terminal.program.c_str()));
        if (!ec && path && std::filesystem::canonical(path.get(), ec) == chosen && !ec) {
            return terminal.name;
        }
    }
    return terminals.empty() ? std::nullopt : std::optional(terminals.front().name);
}

std::optional<std::string> defaultFor(const char* contentType) {
    glib::Object<GAppInfo> app(g_app_info_get_default_for_type(contentType, FALSE));
    const char* name = app ? g_app_info_get_name(app.get()) : nullptr;
    // Only an entry the launcher shows can be launched by name.
    if (!name || !findShownApp(name)) {
        return std::nullopt;
    }
    return std::string(name);
}

}  // namespace

std::vector<std::string> defaultApps(std::size_t most) {
    constexpr const char* TERMINAL = "";
    constexpr const char* KINDS[] = {
        "x-scheme-handler/http",   "inode/directory", TERMINAL,    "text/plain",
        "x-scheme-handler/mailto", "audio/mpeg",      "video/mp4", "image/jpeg",
        "application/pdf"};
    std::vector<std::string> apps;
    for (const char* kind : KINDS) {
        const auto app = *kind ? defaultFor(kind) : defaultTerminal();
        if (app && std::find(apps.begin(), apps.end(), *app) == apps.end() && apps.size() < most) {
            apps.push_back(*app);
        }
    }
    return apps;
}

bool launchApp(const std::string& name) {
    const auto app = findShownApp(name);
    if (!app) {
        TD_LOG(apps, "no launcher entry named \"" + name + "\"");
        return false;
    }
    GError* rawError = nullptr;
    const bool launched = g_app_info_launch(G_APP_INFO(app.get()), nullptr, nullptr, &rawError);
    glib::Error error(rawError);
    if (!launched) {
        TD_LOG(apps, "cannot launch \"" + name + "\": " + glib::message(error));
    }
    return launched;
}

bool openURL(const std::string& url) {
    if (!isWebUrl(url)) {
        TD_LOG(apps, "refused to open an address that is not http or https");
        return false;
    }
    GError* rawError = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &rawError);
    glib::Error error(rawError);
    if (!opened) {
        TD_LOG(apps, "no handler took a web address: " + glib::message(error));
    }
    return opened;
}

}  // namespace td::host
