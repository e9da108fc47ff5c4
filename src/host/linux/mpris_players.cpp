#include "host/linux/mpris_players.hpp"

#include <algorithm>

#include "common/log.hpp"
#include "host/linux/glib_ptr.hpp"

namespace td::host {
namespace {

constexpr const char* MPRIS_NAMESPACE = "org.mpris.MediaPlayer2";
constexpr const char* MPRIS_PATH = "/org/mpris/MediaPlayer2";
constexpr const char* ROOT_INTERFACE = "org.mpris.MediaPlayer2";
constexpr const char* PLAYER_INTERFACE = "org.mpris.MediaPlayer2.Player";
constexpr const char* BUS_NAME = "org.freedesktop.DBus";
constexpr const char* BUS_PATH = "/org/freedesktop/DBus";
constexpr int CALL_TIMEOUT_MS = 2000;
// A player is another program: what it says is kept to what a tile can show.
constexpr std::size_t MAX_TEXT_BYTES = 512;
constexpr std::size_t MAX_ART_URL_BYTES = 4096;
constexpr std::size_t MAX_ARTISTS = 8;
constexpr std::size_t MAX_PLAYERS = 32;
// A program owns a name or two (a browser one per tab playing); one that takes many is
// squatting the places other players need.
constexpr std::size_t MAX_NAMES_PER_OWNER = 4;

bool isPlayerName(std::string_view name) {
    return name.starts_with(std::string(MPRIS_NAMESPACE) + ".");
}

// At most `limit` bytes, cut before a character, never inside one (D-Bus strings are UTF-8).
std::string bounded(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string stringMember(GVariant* dictionary, const char* key, std::size_t limit) {
    glib::Variant value(g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_STRING));
    return value ? bounded(g_variant_get_string(value.get(), nullptr), limit) : std::string();
}

// xesam:artist is a list; some players send one string.
std::string artists(GVariant* metadata) {
    glib::Variant value(g_variant_lookup_value(metadata, "xesam:artist", nullptr));
    if (!value) {
        return {};
    }
    if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
        return bounded(g_variant_get_string(value.get(), nullptr), MAX_TEXT_BYTES);
    }
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING_ARRAY)) {
        return {};
    }
    std::string joined;
    const std::size_t count = std::min(g_variant_n_children(value.get()), MAX_ARTISTS);
    for (std::size_t i = 0; i < count && joined.size() < MAX_TEXT_BYTES; ++i) {
        glib::Variant artist(g_variant_get_child_value(value.get(), i));
        joined +=
            (i ? ", " : "") + bounded(g_variant_get_string(artist.get(), nullptr), MAX_TEXT_BYTES);
    }
    return bounded(joined, MAX_TEXT_BYTES);
}

// mpris:length and Position are microseconds, signed or not depending on the player.
std::optional<double> seconds(GVariant* value) {
    if (!value) {
        return std::nullopt;
    }
    double micros = 0;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
        micros = static_cast<double>(g_variant_get_int64(value));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
        micros = static_cast<double>(g_variant_get_uint64(value));
    } else {
        return std::nullopt;
    }
    if (micros < 0) {
        return std::nullopt;
    }
    return micros / 1e6;
}

void applyMetadata(PlayerState& player, GVariant* metadata) {
    if (!g_variant_is_of_type(metadata, G_VARIANT_TYPE_VARDICT)) {
        return;
    }
    player.title = stringMember(metadata, "xesam:title", MAX_TEXT_BYTES);
    player.artist = artists(metadata);
    player.album = stringMember(metadata, "xesam:album", MAX_TEXT_BYTES);
    glib::Variant length(g_variant_lookup_value(metadata, "mpris:length", nullptr));
    player.length = seconds(length.get());
    player.artUrl = stringMember(metadata, "mpris:artUrl", MAX_ART_URL_BYTES);
}

struct PendingCall {
    int* pending;
    std::function<void(GVariant*)> onReply;
};

}  // namespace

MprisPlayers::MprisPlayers(std::function<void()> changed)
    : changed_(std::move(changed)), cancellable_(g_cancellable_new()) {}

MprisPlayers::~MprisPlayers() {
    stop();
    g_object_unref(cancellable_);
}

void MprisPlayers::stop() {
    g_cancellable_cancel(cancellable_);
    if (bus_) {
        g_dbus_connection_signal_unsubscribe(bus_, ownerSubscription_);
        g_dbus_connection_signal_unsubscribe(bus_, propertiesSubscription_);
        bus_ = nullptr;
    }
}

void MprisPlayers::follow(GDBusConnection* bus) {
    bus_ = bus;
    ownerSubscription_ = g_dbus_connection_signal_subscribe(
        bus, BUS_NAME, BUS_NAME, "NameOwnerChanged", BUS_PATH, MPRIS_NAMESPACE,
        G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters,
           gpointer self) { static_cast<MprisPlayers*>(self)->onNameOwnerChanged(parameters); },
        this, nullptr);
    propertiesSubscription_ = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", MPRIS_PATH, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer self) {
            static_cast<MprisPlayers*>(self)->onPropertiesChanged(sender ? sender : "", parameters);
        },
        this, nullptr);
    listPlayers();
}

void MprisPlayers::listPlayers() {
    call(BUS_NAME, BUS_PATH, BUS_NAME, "ListNames", nullptr, "(as)", [this](GVariant* reply) {
        if (!reply) {
            return;
        }
        GVariantIter* names = nullptr;
        g_variant_get(reply, "(as)", &names);
        const gchar* name = nullptr;
        while (g_variant_iter_loop(names, "&s", &name)) {
            if (isPlayerName(name) && indexOf(name) == shown_.size()) {
                addOwnedPlayer(name);
            }
        }
        g_variant_iter_free(names);
    });
}

void MprisPlayers::addOwnedPlayer(const std::string& name) {
    call(BUS_NAME, BUS_PATH, BUS_NAME, "GetNameOwner", g_variant_new("(s)", name.c_str()), "(s)",
         [this, name](GVariant* reply) {
             if (reply) {
                 const gchar* owner = nullptr;
                 g_variant_get(reply, "(&s)", &owner);
                 addPlayer(name, owner);
             }
         });
}

void MprisPlayers::call(const std::string& destination, const char* path, const char* interface,
                        const char* method, GVariant* parameters, const char* replyType,
                        std::function<void(GVariant*)> onReply) {
    ++pending_;
    g_dbus_connection_call(
        bus_, destination.c_str(), path, interface, method, parameters, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS, cancellable_,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<PendingCall> call(static_cast<PendingCall*>(data));
            --*call->pending;
            GError* rawError = nullptr;
            glib::Variant reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
            glib::Error error(rawError);
            if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                return;  // the follower is going: touch nothing of it
            }
            if (!reply) {
                TD_LOG(media, "a player did not answer: " + glib::message(error));
            }
            call->onReply(reply.get());
        },
        new PendingCall{&pending_, std::move(onReply)});
}

std::size_t MprisPlayers::indexOf(const std::string& name) const {
    const auto it = std::find_if(shown_.begin(), shown_.end(),
                                 [&name](const PlayerState& p) { return p.id == name; });
    return static_cast<std::size_t>(it - shown_.begin());
}

void MprisPlayers::addPlayer(const std::string& name, const std::string& owner) {
    if (indexOf(name) < shown_.size()) {
        return;
    }
    const auto owned = std::count_if(known_.begin(), known_.end(),
                                     [&owner](const Player& p) { return p.owner == owner; });
    if (shown_.size() >= MAX_PLAYERS || static_cast<std::size_t>(owned) >= MAX_NAMES_PER_OWNER) {
        TD_LOG(media, "a player is not followed: too many players, or too many of one program");
        turnedAway_ = true;
        return;
    }
    PlayerState shown;
    shown.id = name;
    shown.name = bounded(name.substr(std::string(MPRIS_NAMESPACE).size() + 1), MAX_TEXT_BYTES);
    shown_.push_back(std::move(shown));
    known_.push_back({owner});
    fetchProperties(name, PLAYER_INTERFACE);
    fetchProperties(name, ROOT_INTERFACE);
    changed_();
}

void MprisPlayers::removePlayer(const std::string& name) {
    const std::size_t at = indexOf(name);
    if (at < shown_.size()) {
        shown_.erase(shown_.begin() + static_cast<std::ptrdiff_t>(at));
        known_.erase(known_.begin() + static_cast<std::ptrdiff_t>(at));
        changed_();
        if (turnedAway_) {  // a player left out may have its place now
            turnedAway_ = false;
            listPlayers();
        }
    }
}

void MprisPlayers::fetchProperties(const std::string& name, const char* interface) {
    const std::size_t at = indexOf(name);
    const unsigned bit = interface == PLAYER_INTERFACE ? 1 : 2;
    if (at >= shown_.size()) {
        return;
    }
    if (known_[at].fetching & bit) {
        known_[at].fetchAgain |= bit;
        return;
    }
    known_[at].fetching |= bit;
    call(name, MPRIS_PATH, "org.freedesktop.DBus.Properties", "GetAll",
         g_variant_new("(s)", interface), "(a{sv})", [this, name, interface, bit](GVariant* reply) {
             const std::size_t now = indexOf(name);
             if (now >= shown_.size()) {
                 return;  // gone meanwhile
             }
             known_[now].fetching &= ~bit;
             if (reply) {
                 glib::Variant properties(g_variant_get_child_value(reply, 0));
                 applyProperties(name, properties.get());
             }
             if (known_[now].fetchAgain & bit) {
                 known_[now].fetchAgain &= ~bit;
                 fetchProperties(name, interface);
             }
         });
}

void MprisPlayers::applyProperties(const std::string& name, GVariant* properties) {
    const std::size_t at = indexOf(name);
    if (at >= shown_.size() || !g_variant_is_of_type(properties, G_VARIANT_TYPE_VARDICT)) {
        return;
    }
    PlayerState& player = shown_[at];
    const std::string identity = stringMember(properties, "Identity", MAX_TEXT_BYTES);
    if (!identity.empty()) {
        player.name = identity;
    }
    const std::string status = stringMember(properties, "PlaybackStatus", 16);
    if (status == "Playing" || status == "Paused" || status == "Stopped") {
        player.status = status;
        if (status == "Playing") {
            known_[at].playedAt = ++clock_;
        }
    }
    if (glib::Variant metadata(g_variant_lookup_value(properties, "Metadata", nullptr)); metadata) {
        applyMetadata(player, metadata.get());
    }
    changed_();
}

void MprisPlayers::onPropertiesChanged(const std::string& sender, GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) {
        return;
    }
    const gchar* interface = nullptr;
    GVariant* changed = nullptr;
    GVariantIter* invalidated = nullptr;
    g_variant_get(parameters, "(&s@a{sv}as)", &interface, &changed, &invalidated);
    glib::Variant changedOwner(changed);
    const bool refetch = g_variant_iter_n_children(invalidated) > 0;
    g_variant_iter_free(invalidated);
    for (std::size_t at = 0; at < shown_.size(); ++at) {
        if (known_[at].owner != sender) {
            continue;
        }
        const std::string name = shown_[at].id;
        applyProperties(name, changed);
        // Asked again by the name of our own constant: the signal's text is gone by the reply.
        if (refetch && g_strcmp0(interface, PLAYER_INTERFACE) == 0) {
            fetchProperties(name, PLAYER_INTERFACE);
        } else if (refetch && g_strcmp0(interface, ROOT_INTERFACE) == 0) {
            fetchProperties(name, ROOT_INTERFACE);
        }
    }
}

void MprisPlayers::onNameOwnerChanged(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
        return;
    }
    const gchar* name = nullptr;
    const gchar* oldOwner = nullptr;
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (!isPlayerName(name)) {
        return;
    }
    removePlayer(name);
    if (*newOwner) {
        addPlayer(name, newOwner);
    }
}

std::optional<std::string> MprisPlayers::active() const {
    if (shown_.empty()) {
        return std::nullopt;
    }
    // The latest to start playing among those playing; else the latest to have played.
    std::size_t best = 0;
    bool bestPlaying = false;
    for (std::size_t at = 0; at < shown_.size(); ++at) {
        const bool playing = shown_[at].status == "Playing";
        const bool later = known_[at].playedAt > known_[best].playedAt;
        if ((playing && !bestPlaying) || (playing == bestPlaying && later)) {
            best = at;
            bestPlaying = playing;
        }
    }
    return shown_[best].id;
}

}  // namespace td::host
