#include "support/mock_player.hpp"

#include <gtest/gtest.h>

#include "support/eventually.hpp"

namespace td::test {
namespace {

constexpr const char* PATH = "/org/mpris/MediaPlayer2";
constexpr const char* PLAYER = "org.mpris.MediaPlayer2.Player";

bool hasOwner(GDBusConnection* bus, const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

}  // namespace

MockPlayer::MockPlayer(const std::string& name, const std::string& identity)
    : busName_("org.mpris.MediaPlayer2." + name),
      process_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", busName_, PATH, PLAYER})),
      bus_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
    ready_ = bus_ && eventually([this] { return hasOwner(bus_, busName_); });
    if (!ready_) {
        return;
    }
    mock("AddProperties", g_variant_new_parsed("(%s, {'Identity': <%s>})", "org.mpris.MediaPlayer2",
                                               identity.c_str()));
    mock("AddProperties",
         g_variant_new_parsed("(%s, {'PlaybackStatus': <'Stopped'>, 'Position': <int64 5000000>,"
                              " 'Metadata': <@a{sv} {}>})",
                              PLAYER));
    for (const char* method : {"PlayPause", "Next", "Previous"}) {
        mock("AddMethod", g_variant_new("(sssss)", PLAYER, method, "", "", ""));
    }
    // Said again as a change: the agent may have asked for the properties before they existed.
    mock("UpdateProperties", g_variant_new_parsed("(%s, {'Identity': <%s>})",
                                                  "org.mpris.MediaPlayer2", identity.c_str()));
}

MockPlayer::~MockPlayer() {
    if (bus_) {
        g_object_unref(bus_);
    }
}

MockPlayer::Reply MockPlayer::mock(const char* method, GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, busName_.c_str(), PATH, "org.freedesktop.DBus.Mock", method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error) {
        ADD_FAILURE() << busName_ << " " << method << ": " << error->message;
        g_error_free(error);
    }
    return Reply(reply, &g_variant_unref);
}

void MockPlayer::play(const std::string& status, const std::string& title,
                      const std::string& artist, const std::string& artUrl) {
    // Each Set is a PropertiesChanged of its own, as many players send a new track.
    set("Metadata", g_variant_new_parsed("{'xesam:title': <%s>, 'xesam:artist': <[%s]>,"
                                         " 'xesam:album': <'Album'>,"
                                         " 'mpris:length': <int64 200000000>,"
                                         " 'mpris:artUrl': <%s>}",
                                         title.c_str(), artist.c_str(), artUrl.c_str()));
    setStatus(status);
}

void MockPlayer::set(const char* property, GVariant* value) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus_, busName_.c_str(), PATH, "org.freedesktop.DBus.Properties",
                                    "Set", g_variant_new("(ssv)", PLAYER, property, value), nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error) {
        ADD_FAILURE() << busName_ << " Set " << property << ": " << error->message;
        g_error_free(error);
    }
    if (reply) {
        g_variant_unref(reply);
    }
}

void MockPlayer::setStatus(const std::string& status) {
    set("PlaybackStatus", g_variant_new_string(status.c_str()));
}

int MockPlayer::calls(const std::string& method) {
    const Reply reply = mock("GetMethodCalls", g_variant_new("(s)", method.c_str()));
    if (!reply) {
        return -1;
    }
    const Reply list(g_variant_get_child_value(reply.get(), 0), &g_variant_unref);
    return static_cast<int>(g_variant_n_children(list.get()));
}

void MockPlayer::quit() {
    process_.reset();
    eventually([this] { return !hasOwner(bus_, busName_); });
}

}  // namespace td::test
