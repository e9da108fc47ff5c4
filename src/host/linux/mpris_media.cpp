#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "common/log.hpp"
#include "host/capabilities.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/media.hpp"

namespace td::host {
namespace {

constexpr const char* MPRIS_PREFIX = "org.mpris.MediaPlayer2.";
constexpr const char* MPRIS_PATH = "/org/mpris/MediaPlayer2";
constexpr const char* PLAYER_INTERFACE = "org.mpris.MediaPlayer2.Player";
constexpr int CALL_TIMEOUT_MS = 2000;

std::optional<std::string> methodFor(const std::string& action) {
    static const std::map<std::string, std::string> METHODS = {
        {"play", "PlayPause"}, {"playpause", "PlayPause"}, {"next", "Next"},
        {"prev", "Previous"},  {"previous", "Previous"},
    };
    const auto it = METHODS.find(action);
    return it == METHODS.end() ? std::nullopt : std::optional(it->second);
}

glib::Variant callSync(GDBusConnection* bus, const char* destination, const char* path,
                       const char* interface, const char* method, GVariant* parameters) {
    GError* rawError = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS, nullptr, &rawError);
    glib::Error error(rawError);
    if (!reply) {
        TD_LOG(media, std::string(destination) + " " + method + ": " + glib::message(error));
    }
    return glib::Variant(reply);
}

std::vector<std::string> listPlayers(GDBusConnection* bus) {
    std::vector<std::string> players;
    auto reply = callSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "ListNames", nullptr);
    if (!reply) {
        return players;
    }
    GVariantIter* names = nullptr;
    g_variant_get(reply.get(), "(as)", &names);
    const gchar* name = nullptr;
    while (g_variant_iter_loop(names, "&s", &name)) {
        if (g_str_has_prefix(name, MPRIS_PREFIX)) {
            players.emplace_back(name);
        }
    }
    g_variant_iter_free(names);
    return players;
}

bool isPlaying(GDBusConnection* bus, const std::string& player) {
    auto reply = callSync(bus, player.c_str(), MPRIS_PATH, "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", PLAYER_INTERFACE, "PlaybackStatus"));
    if (!reply) {
        return false;
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    glib::Variant value(boxed);
    return g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING) &&
           g_strcmp0(g_variant_get_string(value.get(), nullptr), "Playing") == 0;
}

std::optional<std::string> choosePlayer(GDBusConnection* bus, const std::string& wanted) {
    const auto players = listPlayers(bus);
    if (!wanted.empty()) {
        return std::find(players.begin(), players.end(), wanted) != players.end()
                   ? std::optional(wanted)
                   : std::nullopt;
    }
    for (const auto& player : players) {
        if (isPlaying(bus, player)) {
            return player;
        }
    }
    return players.empty() ? std::nullopt : std::optional(players.front());
}

}  // namespace

std::vector<std::string> mediaPlayers() {
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    return bus ? listPlayers(bus.get()) : std::vector<std::string>{};
}

bool mediaAction(const std::string& action, const std::string& wanted) {
    const auto method = methodFor(action);
    if (!method) {
        return false;
    }
    GError* rawError = nullptr;
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    glib::Error error(rawError);
    if (!bus) {
        TD_LOG(media, "no session bus: " + glib::message(error));
        return false;
    }
    const auto player = choosePlayer(bus.get(), wanted);
    if (!player) {
        TD_LOG(media, "no such media player on the session bus");
        return false;
    }
    return callSync(bus.get(), player->c_str(), MPRIS_PATH, PLAYER_INTERFACE, method->c_str(),
                    nullptr) != nullptr;
}

}  // namespace td::host
