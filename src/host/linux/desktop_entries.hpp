#pragma once

#include <gio/gio.h>

#include <string>

#include "host/linux/glib_ptr.hpp"

namespace td::host {

// The launcher's entries (hidden, NoDisplay and TryExec-missing ones never appear).
inline glib::ObjectList launcherEntries() {
    return glib::ObjectList(g_app_info_get_all());
}

// The first shown entry of that name in the list, or nullptr; owned by the list.
inline GAppInfo* findShownApp(GList* entries, const std::string& name) {
    for (GList* item = entries; item; item = item->next) {
        auto* info = G_APP_INFO(item->data);
        const char* appName = g_app_info_get_name(info);
        if (g_app_info_should_show(info) && appName && name == appName) {
            return info;
        }
    }
    return nullptr;
}

}  // namespace td::host
