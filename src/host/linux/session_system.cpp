#include "host/capabilities.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/process.hpp"
#include "host/system.hpp"

namespace td::host {

bool systemAction(const std::string& action) {
    if (action == "sleep") {
        return runProcess("systemctl", {"suspend"}).status == 0;
    }
    if (action == "screensaver") {
        return runProcess("xdg-screensaver", {"activate"}).status == 0;
    }
    return false;
}

bool toolInstalled(const std::string& name) {
    const glib::Chars path(g_find_program_in_path(name.c_str()));
    return path != nullptr;
}

std::optional<std::string> suspendUnavailable() {
    // Without a system bus (a container, a test) nothing can be told: sleep is not ruled out.
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
    if (!bus) {
        return std::nullopt;
    }
    const glib::Variant reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "CanSuspend", nullptr, G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
    if (!reply) {
        return "logind does not answer";
    }
    const gchar* answer = nullptr;
    g_variant_get(reply.get(), "(&s)", &answer);
    // "challenge": polkit may ask the person at the computer; it counts as possible.
    if (std::string_view(answer) == "yes" || std::string_view(answer) == "challenge") {
        return std::nullopt;
    }
    return std::string("logind says this computer cannot suspend (") + answer + ")";
}

bool setClipboard(const std::string& text, DesktopSession session) {
    if (session == DesktopSession::wayland) {
        return runWithInput("wl-copy", {}, text);
    }
    // xclip keeps serving the selection from a child of its own after it exits.
    return runWithInput("xclip", {"-selection", "clipboard"}, text);
}

}  // namespace td::host
