#include "host/live_state.hpp"

#include <atomic>
#include <mutex>
#include <thread>

#include "common/log.hpp"
#include "host/linux/glib_loop.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/linux/mpris_players.hpp"
#include "host/linux/sound_events.hpp"
#include "host/volume.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;

// Long enough to gather what a player says about one new track, short enough not to be seen.
constexpr auto BURST = 25ms;
// A slider dragged on the desktop changes the level a hundred times a second; each reading
// starts two tools.
constexpr auto VOLUME_BURST = 100ms;
constexpr auto FIRST_BUS_PAUSE = std::chrono::milliseconds(5s);
constexpr auto LONGEST_BUS_PAUSE = std::chrono::milliseconds(5min);
constexpr int POSITION_TIMEOUT_MS = 300;

// Every player's position, asked of all at once on a context of the calling thread's own: a
// player that does not answer costs the timeout once, not once per player.
void askPositions(GDBusConnection* bus, std::vector<PlayerState>& players) {
    struct Ask {
        std::optional<double>* position;
        int* waiting;
    };
    int waiting = 0;
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    for (auto& player : players) {
        ++waiting;
        g_dbus_connection_call(
            bus, player.id.c_str(), "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties",
            "Get", g_variant_new("(ss)", "org.mpris.MediaPlayer2.Player", "Position"),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, POSITION_TIMEOUT_MS, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Ask> ask(static_cast<Ask*>(data));
                --*ask->waiting;
                glib::Variant reply(
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
                if (!reply) {
                    return;
                }
                GVariant* boxed = nullptr;
                g_variant_get(reply.get(), "(v)", &boxed);
                glib::Variant value(boxed);
                if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT64) &&
                    g_variant_get_int64(value.get()) >= 0) {
                    *ask->position = static_cast<double>(g_variant_get_int64(value.get())) / 1e6;
                }
            },
            new Ask{&player.position, &waiting});
    }
    while (waiting > 0) {
        g_main_context_iteration(context, TRUE);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

}  // namespace

struct LiveState::Impl {
    explicit Impl(Listener l)
        : listener(std::move(l)),
          context(g_main_context_new()),
          loop(g_main_loop_new(context, FALSE)) {}
    ~Impl() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    void run();
    void connectBus();
    void busClosed();
    void playersChanged();
    void flushMedia();
    void flushVolume();
    int pendingWork() const;

    Listener listener;
    GMainContext* context;
    GMainLoop* loop;
    std::thread thread;
    std::atomic<bool> stopped{false};

    mutable std::mutex mutex;
    std::vector<PlayerState> players;   // guarded by mutex
    std::optional<std::string> active;  // guarded by mutex
    GDBusConnection* bus = nullptr;     // guarded by mutex

    // Only on the follower's thread:
    std::unique_ptr<MprisPlayers> mpris;
    std::vector<std::unique_ptr<MprisPlayers>> retired;  // of a lost bus, until their calls end
    std::unique_ptr<SoundEvents> sound;
    glib::Timer mediaBurst;
    glib::Timer volumeBurst;
    glib::Timer busRetry;
    std::chrono::milliseconds busPause = FIRST_BUS_PAUSE;
    bool mediaTold = false;
    std::optional<PlayerState> toldMedia;
    std::optional<VolumeState> toldVolume;
};

void LiveState::Impl::run() {
    g_main_context_push_thread_default(context);
    connectBus();
    sound = std::make_unique<SoundEvents>(context, [this] {
        if (!volumeBurst.pending()) {
            volumeBurst.start(context, VOLUME_BURST, [this] { flushVolume(); });
        }
    });
    sound->start();
    g_main_loop_run(loop);

    mediaBurst.cancel();
    volumeBurst.cancel();
    busRetry.cancel();
    sound->stop();
    if (mpris) {
        mpris->stop();
    }
    for (auto& old : retired) {
        old->stop();
    }
    // Cancelled calls and reads still report to their owners: wait for the last one.
    while (pendingWork() > 0) {
        g_main_context_iteration(context, TRUE);
    }
    mpris.reset();
    retired.clear();
    sound.reset();
    {
        std::lock_guard lock(mutex);
        if (bus) {
            g_signal_handlers_disconnect_by_data(bus, this);
            g_object_unref(bus);
            bus = nullptr;
        }
    }
    g_main_context_pop_thread_default(context);
}

int LiveState::Impl::pendingWork() const {
    int pending = sound ? sound->pendingReads() : 0;
    pending += mpris ? mpris->pendingCalls() : 0;
    for (const auto& old : retired) {
        pending += old->pendingCalls();
    }
    return pending;
}

void LiveState::Impl::connectBus() {
    glib::Error error;
    GDBusConnection* connection = glib::privateSessionBus(error);
    if (!connection) {
        TD_LOG(media, "no session bus to follow the players on: " + glib::message(error));
        busRetry.start(context, busPause, [this] { connectBus(); });
        busPause = std::min(busPause * 2, LONGEST_BUS_PAUSE);
        return;
    }
    busPause = FIRST_BUS_PAUSE;
    g_signal_connect(connection, "closed",
                     G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer self) {
                         static_cast<Impl*>(self)->busClosed();
                     }),
                     this);
    {
        std::lock_guard lock(mutex);
        bus = connection;
    }
    mpris = std::make_unique<MprisPlayers>([this] { playersChanged(); });
    mpris->follow(connection);
}

void LiveState::Impl::busClosed() {
    TD_LOG(media, "the session bus closed; following the players again later");
    mpris->stop();
    retired.push_back(std::move(mpris));
    {
        std::lock_guard lock(mutex);
        g_signal_handlers_disconnect_by_data(bus, this);
        g_object_unref(bus);
        bus = nullptr;
        players.clear();
        active.reset();
    }
    playersChanged();
    busRetry.start(context, busPause, [this] { connectBus(); });
}

void LiveState::Impl::playersChanged() {
    // Copied once a burst is over, not at each signal: a player may send thousands a second.
    if (!mediaBurst.pending()) {
        mediaBurst.start(context, BURST, [this] { flushMedia(); });
    }
}

void LiveState::Impl::flushMedia() {
    std::optional<PlayerState> now;
    {
        std::lock_guard lock(mutex);
        players = mpris ? mpris->players() : std::vector<PlayerState>{};
        active = mpris ? mpris->active() : std::nullopt;
        for (const auto& player : players) {
            if (active && player.id == *active) {
                now = player;
            }
        }
    }
    const bool same = mediaTold && now.has_value() == toldMedia.has_value() &&
                      (!now || now->sameShownState(*toldMedia));
    if (same || stopped) {
        return;
    }
    mediaTold = true;
    toldMedia = now;
    if (listener.mediaChanged) {
        listener.mediaChanged(now);
    }
}

void LiveState::Impl::flushVolume() {
    const VolumeState now{getVolume(), isMuted()};
    if (now.level < 0 || stopped) {
        return;
    }
    // The first reading is where changes are counted from, not a change.
    const bool first = !toldVolume.has_value();
    if (!first && now == *toldVolume) {
        return;
    }
    toldVolume = now;
    if (!first && listener.volumeChanged) {
        listener.volumeChanged(now);
    }
}

LiveState::LiveState(Listener listener) : impl_(std::make_unique<Impl>(std::move(listener))) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

LiveState::~LiveState() {
    stop();
}

void LiveState::stop() {
    if (impl_->stopped.exchange(true)) {
        return;
    }
    // Through the context, so that a loop not yet running quits as soon as it does.
    g_main_context_invoke(
        impl_->context,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        impl_->loop);
    impl_->thread.join();
}

std::vector<PlayerState> LiveState::players(bool positions) const {
    std::vector<PlayerState> copy;
    GDBusConnection* bus = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        copy = impl_->players;
        if (positions && impl_->bus) {
            bus = G_DBUS_CONNECTION(g_object_ref(impl_->bus));
        }
    }
    if (bus) {
        askPositions(bus, copy);
        g_object_unref(bus);
    }
    return copy;
}

std::optional<std::string> LiveState::activePlayer() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->active;
}

}  // namespace td::host
