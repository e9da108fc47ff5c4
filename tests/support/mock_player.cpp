#include "support/mock_player.hpp"

#include <gtest/gtest.h>

#include "support/eventually.hpp"

namespace td::test {
namespace {
constexpr const char* PATH = "/org/mpris/MediaPlayer2";
constexpr const char* PLAYER = "org.mpris.MediaPlayer2.Player";
}  // namespace

MockPlayer::MockPlayer(const std::string& name, const std::string& identity)
    : busName_("org.mpris.MediaPlayer2." + name),
      process_(std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", busName_, PATH, PLAYER})),
      bus_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
    ready_ = bus_ && eventually([this] { return owned(); });
    if (!ready_) {
        return;
    }
    GVariant* root = g_variant_new_parsed("(%s, {'Identity': <%s>})", "org.mpris.MediaPlayer2",
                                          identity.c_str());
    mock("AddProperties", g_variant_ref_sink(root));
    mock("AddProperties",
         g_variant_new_parsed("(%s, {'PlaybackStatus': <'Stopped'>, 'Position': <int64 5000000>,"
                              " 'Metadata': <@a{sv} {}>})",
                              PLAYER));
    for (const char* method : {"PlayPause", "Next", "Previous"}) {
        mock("AddMethod", g_variant_new("(sssss)", PLAYER, method, "", "", ""));
    }
    // Said again as a change: the agent may have asked for the properties before they existed.
    mock("UpdateProperties", root);
    g_variant_unref(root);
}

MockPlayer::~MockPlayer() {
    if (bus_) {
        g_object_unref(bus_);
    }
}

MockPlayer::Reply MockPlayer::call(const char* destination, const char* path, const char* interface,
                                   const char* method, GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus_, destination, path, interface, method, parameters, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error) {
        ADD_FAILURE() << destination << " " << method << ": " << error->message;
        g_error_free(error);
    }
    return Reply(reply, &g_variant_unref);
}

MockPlayer::Reply MockPlayer::mock(const char* method, GVariant* parameters) {
    return call(busName_.c_str(), PATH, "org.freedesktop.DBus.Mock", method, parameters);
}

bool MockPlayer::owned() {
    const auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameHasOwner", g_variant_new("(s)", busName_.c_str()));
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply.get(), "(b)", &owned);
    }
    return owned;
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

void MockPlayer::setStatus(const std::string& status) {
    set("PlaybackStatus", g_variant_new_string(status.c_str()));
}

void MockPlayer::set(const char* property, GVariant* value) {
    call(busName_.c_str(), PATH, "org.freedesktop.DBus.Properties", "Set",
         g_variant_new("(ssv)", PLAYER, property, value));
}

int MockPlayer::calls(const std::string& method) {
    const Reply reply = mock("GetMethodCalls", g_variant_new("(s)", method.c_str()));
    return reply ? static_cast<int>(g_variant_n_children(
                       Reply(g_variant_get_child_value(reply.get(), 0), &g_variant_unref).get()))
                 : -1;
}

void MockPlayer::quit() {
    process_.reset();
    eventually([this] { return !owned(); });
}

}  // namespace td::test
