#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>

// Owning handles for the GLib objects the Linux backends use, freed with their own functions.
namespace td::host::glib {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept {
        if (object) {
            g_object_unref(object);
        }
    }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
struct ListFree {
    void operator()(GList* list) const noexcept { g_list_free_full(list, g_object_unref); }
};
struct VariantUnref {
    void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
};
struct CharsFree {
    void operator()(gchar* text) const noexcept { g_free(text); }
};

template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using ObjectList = std::unique_ptr<GList, ListFree>;
using Variant = std::unique_ptr<GVariant, VariantUnref>;
using Chars = std::unique_ptr<gchar, CharsFree>;

// The error's text, for a log line; "unknown error" when GLib gave none.
// A session-bus connection of the caller's own (not GLib's shared one), with its main context
// the calling thread's default; nothing, and why in `error`, without a session bus.
inline GDBusConnection* privateSessionBus(Error& error) {
    GError* raw = nullptr;
    Chars address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    GDBusConnection* bus =
        address
            ? g_dbus_connection_new_for_address_sync(
                  address.get(),
                  static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                  nullptr, nullptr, &raw)
            : nullptr;
    error.reset(raw);
    return bus;
}

inline std::string message(const Error& error) {
    return error && error->message ? error->message : "unknown error";
}

}  // namespace td::host::glib
