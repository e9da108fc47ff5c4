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
inline std::string message(const Error& error) {
    return error && error->message ? error->message : "unknown error";
}

}  // namespace td::host::glib
