#include <gio/gdesktopappinfo.h>

#include "common/web_url.hpp"
#include "host/apps.hpp"
#include "host/linux/desktop_entries.hpp"

namespace td::host {

std::vector<std::string> listApps() {
    return shownAppNames();
}

bool launchApp(const std::string& name) {
    const auto app = findShownApp(name);
    if (!app) {
        return false;
    }
    GError* rawError = nullptr;
    const bool launched = g_app_info_launch(G_APP_INFO(app.get()), nullptr, nullptr, &rawError);
    glib::Error error(rawError);
    return launched;
}

bool openURL(const std::string& url) {
    if (!isWebUrl(url)) {
        return false;
    }
    GError* rawError = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &rawError);
    glib::Error error(rawError);
    return opened;
}

}  // namespace td::host
