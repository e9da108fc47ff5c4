#pragma once

#include <gio/gio.h>

// What the GTK module (tapdeck-gtk.so) offers the agent, as plain C functions looked up by name
// when the module is loaded.
extern "C" {

// Loads `icon` from the icon theme at `size` × `size`, letterboxed, as a PNG in a buffer the
// caller frees with g_free; returns its length, or 0 (and no buffer) when the icon cannot be
// loaded. Not thread-safe: one call at a time.
using TdGtkIconPng = gsize (*)(GIcon* icon, int size, gchar** png);
}

namespace td::host {
inline constexpr const char* GTK_ICON_PNG_SYMBOL = "tdGtkIconPng";
}
