// The desktop's RemoteDesktop portal, for tests: owns org.freedesktop.portal.Desktop on the
// session bus and answers CreateSession, SelectDevices and Start as the real portal does (a
// Response signal on the request object the caller named). Every call is printed, one line
// each; the user's answer to the dialog is the first argument, and a granting dialog grants the
// devices asked for.
//   fake_remote_desktop_portal grant|deny
#include <gio/gio.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

namespace {

const char* INTROSPECTION = R"(<node>
  <interface name="org.freedesktop.portal.RemoteDesktop">
    <method name="CreateSession">
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="SelectDevices">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="o" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" direction="in"/><arg type="s" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="NotifyKeyboardKeycode">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="i" direction="in"/><arg type="u" direction="in"/>
    </method>
    <method name="NotifyKeyboardKeysym">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="i" direction="in"/><arg type="u" direction="in"/>
    </method>
    <method name="NotifyPointerMotion">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="d" direction="in"/><arg type="d" direction="in"/>
    </method>
    <method name="NotifyPointerButton">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="i" direction="in"/><arg type="u" direction="in"/>
    </method>
    <method name="NotifyPointerAxis">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="d" direction="in"/><arg type="d" direction="in"/>
    </method>
    <property name="AvailableDeviceTypes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
</node>)";

const char* BASE = "/org/freedesktop/portal/desktop";
bool grants = true;
int restoreTokens = 0;
std::set<std::string> grantedSessions;
std::uint32_t askedDevices = 0;

void print(const std::string& line) {
    std::puts(line.c_str());
    std::fflush(stdout);
}

std::string senderPart(const char* sender) {
    std::string part = sender + 1;
    for (char& c : part) {
        c = c == '.' ? '_' : c;
    }
    return part;
}

std::string option(GVariant* options, const char* key) {
    GVariant* value = g_variant_lookup_value(options, key, nullptr);
    if (!value) {
        return "-";
    }
    std::string text = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                           ? g_variant_get_string(value, nullptr)
                           : std::to_string(g_variant_get_uint32(value));
    g_variant_unref(value);
    return text;
}

// Answers the call with its request object, then sends the request's Response.
void respond(GDBusConnection* bus, GDBusMethodInvocation* invocation, GVariant* options,
             guint32 code, GVariant* results) {
    const char* sender = g_dbus_method_invocation_get_sender(invocation);
    const std::string request = std::string(BASE) + "/request/" + senderPart(sender) + "/" +
                                option(options, "handle_token");
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
    g_dbus_connection_emit_signal(bus, sender, request.c_str(), "org.freedesktop.portal.Request",
                                  "Response", g_variant_new("(u@a{sv})", code, results), nullptr);
}

GVariant* emptyResults() {
    return g_variant_new("a{sv}", nullptr);
}

void onCall(GDBusConnection* bus, const gchar* sender, const gchar*, const gchar*,
            const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
            gpointer) {
    const std::string name = method;
    if (name == "CreateSession") {
        GVariant* options = g_variant_get_child_value(parameters, 0);
        print("CreateSession");
        const std::string session = std::string(BASE) + "/session/" + senderPart(sender) + "/" +
                                    option(options, "session_handle_token");
        GVariantBuilder results;
        g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&results, "{sv}", "session_handle",
                              g_variant_new_string(session.c_str()));
        respond(bus, invocation, options, 0, g_variant_builder_end(&results));
        g_variant_unref(options);
    } else if (name == "SelectDevices") {
        GVariant* options = g_variant_get_child_value(parameters, 1);
        print("SelectDevices types=" + option(options, "types") + " persist=" +
              option(options, "persist_mode") + " restore=" + option(options, "restore_token"));
        askedDevices = static_cast<std::uint32_t>(std::stoul(option(options, "types")));
        respond(bus, invocation, options, 0, emptyResults());
        g_variant_unref(options);
    } else if (name == "Start") {
        const char* session = nullptr;
        GVariant* options = nullptr;
        g_variant_get(parameters, "(&o&s@a{sv})", &session, nullptr, &options);
        print(std::string("Start ") + (grants ? "granted" : "refused"));
        if (!grants) {
            respond(bus, invocation, options, 1, emptyResults());
        } else {
            grantedSessions.insert(session);
            const std::string restore = "restore-" + std::to_string(++restoreTokens);
            GVariantBuilder results;
            g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&results, "{sv}", "devices", g_variant_new_uint32(askedDevices));
            g_variant_builder_add(&results, "{sv}", "restore_token",
                                  g_variant_new_string(restore.c_str()));
            respond(bus, invocation, options, 0, g_variant_builder_end(&results));
        }
        g_variant_unref(options);
    } else {
        const char* session = nullptr;
        g_variant_get_child(parameters, 0, "&o", &session);
        if (!grantedSessions.count(session)) {
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.portal.Error.NotAllowed", "session not started");
            return;
        }
        char line[96];
        if (name == "NotifyPointerMotion" || name == "NotifyPointerAxis") {
            double dx = 0, dy = 0;
            g_variant_get(parameters, "(&o@a{sv}dd)", nullptr, nullptr, &dx, &dy);
            std::snprintf(line, sizeof line, "%s %g %g",
                          name == "NotifyPointerMotion" ? "motion" : "axis", dx, dy);
        } else {
            gint32 key = 0;
            guint32 state = 0;
            g_variant_get(parameters, "(&o@a{sv}iu)", nullptr, nullptr, &key, &state);
            std::snprintf(line, sizeof line,
                          name == "NotifyKeyboardKeysym"  ? "keysym 0x%x %u"
                          : name == "NotifyPointerButton" ? "button %d %u"
                                                          : "keycode %d %u",
                          key, state);
        }
        print(line);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
}

GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                GError**, gpointer) {
    return g_variant_new_uint32(std::string(property) == "version" ? 2 : 7);
}

void onBus(GDBusConnection* bus, const gchar*, gpointer) {
    static const GDBusInterfaceVTable VTABLE = {onCall, onGet, nullptr, {}};
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(INTROSPECTION, nullptr);
    g_dbus_connection_register_object(bus, BASE, info->interfaces[0], &VTABLE, nullptr, nullptr,
                                      nullptr);
}

void onName(GDBusConnection*, const gchar*, gpointer) {
    print("ready");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    grants = std::string(argv[1]) == "grant";
    g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.portal.Desktop",
                   G_BUS_NAME_OWNER_FLAGS_NONE, onBus, onName, nullptr, nullptr, nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
