// Part of the GTK module (tapdeck-gtk.so), which the agent loads only when it needs GTK.
#include <gtk/gtk.h>

#include <algorithm>

#include "host/linux/glib_ptr.hpp"
#include "host/linux/gtk_module_abi.hpp"

namespace {

namespace glib = td::host::glib;

// The icon scaled to fit size × size and centred on a transparent square.
glib::Object<GdkPixbuf> letterbox(GdkPixbuf* icon, int size) {
    const int width = gdk_pixbuf_get_width(icon);
    const int height = gdk_pixbuf_get_height(icon);
    const double scale = std::min(double(size) / width, double(size) / height);
    const int scaledWidth = std::max(1, static_cast<int>(width * scale + 0.5));
    const int scaledHeight = std::max(1, static_cast<int>(height * scale + 0.5));
    glib::Object<GdkPixbuf> canvas(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size));
    if (!canvas) {
        return nullptr;
    }
    gdk_pixbuf_fill(canvas.get(), 0x00000000);
    const int x = (size - scaledWidth) / 2;
    const int y = (size - scaledHeight) / 2;
    gdk_pixbuf_composite(icon, canvas.get(), x, y, scaledWidth, scaledHeight, x, y, scale, scale,
                         GDK_INTERP_HYPER, 255);
    return canvas;
}

glib::Object<GdkPixbuf> loadIcon(GIcon* icon, int size) {
    // A theme of our own: it needs no display, unlike the default one.
    glib::Object<GtkIconTheme> theme(gtk_icon_theme_new());
    GtkIconInfo* found =
        gtk_icon_theme_lookup_by_gicon(theme.get(), icon, size, GTK_ICON_LOOKUP_FORCE_SIZE);
    if (!found) {
        return nullptr;
    }
    glib::Object<GtkIconInfo> info(found);
    GError* rawError = nullptr;
    glib::Object<GdkPixbuf> pixbuf(gtk_icon_info_load_icon(info.get(), &rawError));
    glib::Error error(rawError);
    return pixbuf;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) gsize tdGtkIconPng(GIcon* icon, int size,
                                                                     gchar** png) noexcept {
    *png = nullptr;
    auto pixbuf = loadIcon(icon, size);
    auto square = pixbuf ? letterbox(pixbuf.get(), size) : nullptr;
    if (!square) {
        return 0;
    }
    gsize length = 0;
    GError* rawError = nullptr;
    if (!gdk_pixbuf_save_to_buffer(square.get(), png, &length, "png", &rawError, nullptr)) {
        glib::Error error(rawError);
        *png = nullptr;
        return 0;
    }
    return length;
}
