#include <gio/gdesktopappinfo.h>

#include <set>

#include "common/web_url.hpp"
#include "host/apps.hpp"
#include "host/linux/desktop_entries.hpp"

namespace td::host {
std::vector<std::string> listApps() {
    std::set<std::string> names;  // std::string orders by byte, which for UTF-8 is code point
    const auto apps = launcherEntries();
    for (GList* item = apps.get(); item; item = item->next) {
        auto* info = G_APP_INFO(item->data);
        if (const char* name = g_app_info_get_name(info); name && g_app_info_should_show(info)) {
            names.insert(name);
        }
    }
    return {names.begin(), names.end()};
}

bool launchApp(const std::string& name) {
    const auto apps = launcherEntries();
    GAppInfo* info = findShownApp(apps.get(), name);
    if (!info) {
        return false;
    }
    GError* rawError = nullptr;
    const bool launched = g_app_info_launch(info, nullptr, nullptr, &rawError);
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
