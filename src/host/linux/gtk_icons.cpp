#include <gtk/gtk.h>

#include <algorithm>

#include "host/apps.hpp"
#include "host/linux/desktop_entries.hpp"

namespace td::host {
namespace {

constexpr int ICON_SIZE = 256;

// The icon scaled to fit 256 × 256 and centred on a transparent square.
glib::Object<GdkPixbuf> letterbox(GdkPixbuf* icon) {
    const int width = gdk_pixbuf_get_width(icon);
    const int height = gdk_pixbuf_get_height(icon);
    const double scale = std::min(double(ICON_SIZE) / width, double(ICON_SIZE) / height);
    const int scaledWidth = std::max(1, static_cast<int>(width * scale + 0.5));
    const int scaledHeight = std::max(1, static_cast<int>(height * scale + 0.5));
    glib::Object<GdkPixbuf> canvas(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, ICON_SIZE, ICON_SIZE));
    if (!canvas) {
        return nullptr;
    }
    gdk_pixbuf_fill(canvas.get(), 0x00000000);
    const int x = (ICON_SIZE - scaledWidth) / 2;
    const int y = (ICON_SIZE - scaledHeight) / 2;
    gdk_pixbuf_composite(icon, canvas.get(), x, y, scaledWidth, scaledHeight, x, y, scale, scale,
                         GDK_INTERP_HYPER, 255);
    return canvas;
}

glib::Object<GdkPixbuf> loadIcon(GIcon* icon) {
    // A theme of our own: it needs no display, unlike the default one.
    glib::Object<GtkIconTheme> theme(gtk_icon_theme_new());
    GtkIconInfo* found =
        gtk_icon_theme_lookup_by_gicon(theme.get(), icon, ICON_SIZE, GTK_ICON_LOOKUP_FORCE_SIZE);
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

std::optional<std::string> iconPNG(const std::string& name) {
    const auto app = findShownApp(name);
    GIcon* icon = app ? g_app_info_get_icon(G_APP_INFO(app.get())) : nullptr;
    if (!icon) {
        return std::nullopt;
    }
    auto pixbuf = loadIcon(icon);
    if (!pixbuf) {
        return std::nullopt;
    }
    auto square = letterbox(pixbuf.get());
    if (!square) {
        return std::nullopt;
    }
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* rawError = nullptr;
    if (!gdk_pixbuf_save_to_buffer(square.get(), &buffer, &size, "png", &rawError, nullptr)) {
        glib::Error error(rawError);
        return std::nullopt;
    }
    glib::Chars owned(buffer);
    return std::string(buffer, size);
}

}  // namespace td::host
