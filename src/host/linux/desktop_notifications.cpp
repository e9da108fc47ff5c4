#include <gio/gio.h>

#include <map>
#include <mutex>

#include "common/log.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/notifications.hpp"

namespace td::host {
namespace {

constexpr const char* SERVICE = "org.freedesktop.Notifications";
constexpr const char* PATH = "/org/freedesktop/Notifications";
// Folders of the notifications still shown, at most: older ones are forgotten.
constexpr std::size_t REMEMBERED = 32;

}  // namespace

struct Notifier::Impl {
    OpenFolder open;
    GDBusConnection* bus = nullptr;
    guint subscription = 0;
    std::mutex mutex;
    std::map<guint32, std::string> folders;  // by notification id

    void clicked(guint32 id, const std::string& action) {
        std::string folder;
        {
            std::lock_guard lock(mutex);
            const auto found = folders.find(id);
            if (found == folders.end()) {
                return;  // another program's, or one forgotten
            }
            folder = found->second;
            folders.erase(found);
        }
        if (action == "default" || action == "open-folder") {
            open(folder);
        }
    }
};

Notifier::Notifier(OpenFolder open) : impl_(std::make_unique<Impl>()) {
    impl_->open = std::move(open);
    impl_->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!impl_->bus) {
        TD_LOG(transfer, "no session bus: no desktop notifications");
        return;
    }
    impl_->subscription = g_dbus_connection_signal_subscribe(
        impl_->bus, SERVICE, SERVICE, "ActionInvoked", PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
            GVariant* parameters, gpointer data) noexcept {
            if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
                return;
            }
            guint32 id = 0;
            const gchar* action = nullptr;
            g_variant_get(parameters, "(u&s)", &id, &action);
            static_cast<Impl*>(data)->clicked(id, action);
        },
        impl_.get(), nullptr);
}

Notifier::~Notifier() {
    if (impl_->bus) {
        g_dbus_connection_signal_unsubscribe(impl_->bus, impl_->subscription);
        g_object_unref(impl_->bus);
    }
}

bool Notifier::show(const std::string& summary, const std::string& body,
                    const std::string& folder) {
    if (!impl_->bus) {
        return false;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (!folder.empty()) {
        // "default" is a click on the notification itself; the other, a button.
        for (const char* key : {"default", "open-folder"}) {
            g_variant_builder_add(&actions, "s", key);
            g_variant_builder_add(&actions, "s", "Open Folder");
        }
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("tapdeck"));
    g_variant_builder_add(&hints, "{sv}", "category", g_variant_new_string("transfer.complete"));
    GError* error = nullptr;
    const glib::Variant reply(g_dbus_connection_call_sync(
        impl_->bus, SERVICE, PATH, SERVICE, "Notify",
        g_variant_new("(susssasa{sv}i)", "Tapdeck", 0u, "document-save", summary.c_str(),
                      body.c_str(), &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error));
    if (!reply) {
        TD_LOG(transfer, std::string("no notification: ") + (error ? error->message : "?"));
        g_clear_error(&error);
        return false;
    }
    guint32 id = 0;
    g_variant_get(reply.get(), "(u)", &id);
    if (!folder.empty()) {
        std::lock_guard lock(impl_->mutex);
        impl_->folders[id] = folder;
        while (impl_->folders.size() > REMEMBERED) {
            impl_->folders.erase(impl_->folders.begin());
        }
    }
    return true;
}

void Notifier::openInFileManager(const std::string& folder) {
    glib::Chars uri(g_filename_to_uri(folder.c_str(), nullptr, nullptr));
    if (!uri || !g_app_info_launch_default_for_uri(uri.get(), nullptr, nullptr)) {
        TD_LOG(transfer, "the download folder could not be opened");
    }
}

}  // namespace td::host
