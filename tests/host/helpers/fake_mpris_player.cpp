// A media player on the session bus, for tests: owns org.mpris.MediaPlayer2.<name>, reports
// the playback status it was given, and appends every Player method called to a log file.
//   fake_mpris_player NAME Playing|Paused|Stopped LOGFILE
#include <gio/gio.h>

#include <cstdio>
#include <string>

namespace {

const char* INTROSPECTION = R"(<node>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="PlayPause"/><method name="Next"/><method name="Previous"/>
    <method name="Play"/><method name="Pause"/><method name="Stop"/>
    <property name="PlaybackStatus" type="s" access="read"/>
  </interface>
</node>)";

std::string status;
std::string logFile;
std::string playerName;

void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
            GVariant*, GDBusMethodInvocation* invocation, gpointer) {
    if (FILE* log = std::fopen(logFile.c_str(), "a")) {
        std::fprintf(log, "%s %s\n", playerName.c_str(), method);
        std::fclose(log);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                GError**, gpointer) {
    return std::string(property) == "PlaybackStatus" ? g_variant_new_string(status.c_str())
                                                     : nullptr;
}

void onBus(GDBusConnection* bus, const gchar*, gpointer) {
    static const GDBusInterfaceVTable VTABLE = {onCall, onGet, nullptr, {}};
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(INTROSPECTION, nullptr);
    g_dbus_connection_register_object(bus, "/org/mpris/MediaPlayer2", info->interfaces[0], &VTABLE,
                                      nullptr, nullptr, nullptr);
}

void onName(GDBusConnection*, const gchar*, gpointer) {
    std::puts("ready");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    playerName = argv[1];
    status = argv[2];
    logFile = argv[3];
    const std::string busName = "org.mpris.MediaPlayer2." + playerName;
    g_bus_own_name(G_BUS_TYPE_SESSION, busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, onBus, onName,
                   nullptr, nullptr, nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
