#include "app/settings_from_environment.hpp"

#include <cstdlib>

#include "server/request.hpp"

namespace td::app {

namespace {

std::optional<std::string> nonEmpty(const host::EnvironmentLookup& environment,
                                    std::string_view name) {
    auto value = environment(name);
    return value && !value->empty() ? value : std::nullopt;
}

// An address the user named: plain http is then theirs to choose.
RemoteEndpoint chosenEndpoint(std::string url) {
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return {std::move(url), true};
}

}  // namespace

Settings settingsFromEnvironment(const host::EnvironmentLookup& environment) {
    Settings settings;
    settings.port =
        server::parsePort(environment("TD_PORT").value_or("")).value_or(Settings::DEFAULT_PORT);
    // An empty TD_SUPPORT counts as unset: taken verbatim it would put both files in "/".
    if (auto support = nonEmpty(environment, "TD_SUPPORT")) {
        settings.supportFolder = *support;
    } else {
        settings.supportFolder = host::defaultSupportFolder(environment);
    }
    if (auto resources = nonEmpty(environment, "TD_RESOURCES")) {
        settings.resourcesFolder = *resources;
    } else {
        settings.resourcesFolder = host::defaultResourcesFolder();
    }
    settings.gtkModule = host::modulePath("tapdeck-gtk.so");
    settings.shellModule = host::modulePath("tapdeck-shell.so");
    settings.webViewModule = host::modulePath("tapdeck-webview.so");
    settings.loginItemFile = host::userConfigFolder(environment) / "autostart" / "tapdeck.desktop";
    settings.dataFolder = host::userDataFolder(environment);
    if (auto downloads = nonEmpty(environment, "TD_DOWNLOADS")) {
        settings.downloadsFolder = *downloads;
    } else {
        settings.downloadsFolder = host::downloadFolder(environment);
    }
    if (auto relay = nonEmpty(environment, "TD_RELAY_HOST")) {
        settings.relayHost = *relay;
    }
    if (auto directory = nonEmpty(environment, "TD_ACME_DIRECTORY")) {
        settings.acmeDirectory = *directory;
    }
    if (auto connect = nonEmpty(environment, "TD_RELAY_CONNECT")) {
        settings.relayConnect = *connect;
    }
    if (auto base = nonEmpty(environment, "ANTHROPIC_BASE_URL")) {
        settings.planner = chosenEndpoint(*base);
    }
    if (auto manifest = nonEmpty(environment, "TD_UPDATE_URL")) {
        settings.updateManifest = {*manifest, true};
    }
    settings.plannerKey = [environment] { return environment("ANTHROPIC_API_KEY").value_or(""); };
    settings.session = host::desktopSession(environment);
    settings.desktop = host::desktopKind(environment);
    settings.startedBySystemd = host::startedByServiceManager(environment);
    settings.debugCategories = environment("TD_DEBUG").value_or("");
    return settings;
}

host::EnvironmentLookup processEnvironment() {
    return [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
}

}  // namespace td::app
