#include <gio/gio.h>

#include "common/log.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/system.hpp"

namespace td::host {

bool showNotification(const std::string& summary, const std::string& body,
                      const std::string& folder) {
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus) {
        TD_LOG(transfer, "no session bus for a notification");
        return false;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("tapdeck"));
    g_variant_builder_add(&hints, "{sv}", "category", g_variant_new_string("transfer.complete"));
    const std::string escaped = folder.empty() ? body : body + "\n" + folder;
    GError* error = nullptr;
    const glib::Variant reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify",
        g_variant_new("(susssasa{sv}i)", "Tapdeck", 0u, "document-save", summary.c_str(),
                      escaped.c_str(), &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error));
    if (!reply) {
        TD_LOG(transfer, std::string("no notification: ") + (error ? error->message : "?"));
        g_clear_error(&error);
        return false;
    }
    return true;
}

}  // namespace td::host
