#include <gio/gdesktopappinfo.h>

#include "common/log.hpp"
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
