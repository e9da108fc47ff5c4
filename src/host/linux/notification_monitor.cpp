#include <gio/gio.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "common/log.hpp"
#include "host/linux/glib_loop.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/notification_watch.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;

constexpr auto FIRST_PAUSE = std::chrono::milliseconds(5s);
constexpr auto LONGEST_PAUSE = std::chrono::milliseconds(5min);
constexpr int MONITOR_CALL_MS = 5000;

constexpr const char* NOTIFY_RULE =
    "type='method_call',interface='org.freedesktop.Notifications',member='Notify'";
constexpr const char* GTK_NOTIFY_RULE =
    "type='method_call',interface='org.gtk.Notifications',member='AddNotification'";

// What is kept of one text of a call: far more than a phone shows, far less than a bus message
// may hold (128 MiB). Cut where a character begins.
constexpr std::size_t MAX_TEXT_BYTES = 64 * 1024;

std::string bounded(const gchar* text, gsize length) {
    std::size_t end = std::min<std::size_t>(length, MAX_TEXT_BYTES);
    while (end < length && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(text, end);
}

std::string stringChild(GVariant* tuple, gsize index) {
    glib::Variant child(g_variant_get_child_value(tuple, index));
    if (!g_variant_is_of_type(child.get(), G_VARIANT_TYPE_STRING)) {
        return {};
    }
    gsize length = 0;
    const gchar* text = g_variant_get_string(child.get(), &length);
    return bounded(text, length);
}

std::string stringIn(GVariant* dictionary, const char* key) {
    glib::Variant value(g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_STRING));
    if (!value) {
        return {};
    }
    gsize length = 0;
    const gchar* text = g_variant_get_string(value.get(), &length);
    return bounded(text, length);
}

std::string_view nullToEmpty(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

std::string senderOf(GDBusMessage* message) {
    const char* sender = g_dbus_message_get_sender(message);
    return sender ? sender : "";
}

// The notification a call shows, when it is a well-formed call of one of the two interfaces.
std::optional<DesktopNotification> notificationIn(GDBusMessage* message) {
    const char* member = g_dbus_message_get_member(message);
    GVariant* body = g_dbus_message_get_body(message);
    if (!member || !body) {
        return std::nullopt;
    }
    // Only calls that a service would show: at its object's path, to its name (or, as GLib's and
    // dbus-python's proxies address it, to a connection's unique name, which the monitor cannot
    // ask the owner of: it may send nothing).
    const std::string_view destination = nullToEmpty(g_dbus_message_get_destination(message));
    const std::string_view path = nullToEmpty(g_dbus_message_get_path(message));
    const auto addressed = [&](std::string_view service) {
        return destination == service || destination.starts_with(':');
    };
    if (std::string_view(member) == "Notify" && addressed("org.freedesktop.Notifications") &&
        path == "/org/freedesktop/Notifications" &&
        g_variant_is_of_type(body, G_VARIANT_TYPE("(susssasa{sv}i)"))) {
        return DesktopNotification{stringChild(body, 0), stringChild(body, 3), stringChild(body, 4),
                                   senderOf(message)};
    }
    if (std::string_view(member) == "AddNotification" && addressed("org.gtk.Notifications") &&
        path == "/org/gtk/Notifications" &&
        g_variant_is_of_type(body, G_VARIANT_TYPE("(ssa{sv})"))) {
        glib::Variant fields(g_variant_get_child_value(body, 2));
        return DesktopNotification{stringChild(body, 0), stringIn(fields.get(), "title"),
                                   stringIn(fields.get(), "body"), senderOf(message)};
    }
    return std::nullopt;
}

}  // namespace

struct NotificationWatch::Impl {
    explicit Impl(std::function<void(DesktopNotification)> seen)
        : context(g_main_context_new()), loop(g_main_loop_new(context, FALSE)) {
        listener->seen = std::move(seen);
    }
    ~Impl() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    void run();
    void connect();
    void closed();
    void retryLater(const std::string& why);
    void dropConnection();

    // What the filter reaches on GDBus's worker thread, which may still be in it after the
    // filter is removed: it is kept alive by the filter's own reference, and `stop` waits
    // for a call under way.
    struct Listener {
        std::mutex mutex;
        bool on = true;  // guarded by mutex
        std::function<void(DesktopNotification)> seen;
    };

    // Every call the monitor receives is taken here, so that GDBus never answers one that was
    // not for us (a monitor that sends anything is disconnected).
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                gpointer data) {
        if (!incoming ||
            g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            return message;
        }
        auto& listener = **static_cast<std::shared_ptr<Listener>*>(data);
        if (auto notification = notificationIn(message)) {
            std::lock_guard lock(listener.mutex);
            if (listener.on) {
                listener.seen(std::move(*notification));
            }
        }
        g_object_unref(message);
        return nullptr;
    }

    const std::shared_ptr<Listener> listener = std::make_shared<Listener>();
    GMainContext* context;
    GMainLoop* loop;
    std::thread thread;
    std::atomic<bool> stopped{false};
    mutable std::mutex mutex;
    std::string problem = "Not connected to the session bus yet.";  // guarded by mutex

    // Only on the watch's thread:
    GDBusConnection* bus = nullptr;
    guint filterId = 0;
    glib::Timer retry;
    std::chrono::milliseconds pause = FIRST_PAUSE;
};

void NotificationWatch::Impl::run() {
    g_main_context_push_thread_default(context);
    connect();
    g_main_loop_run(loop);
    retry.cancel();
    dropConnection();
    g_main_context_pop_thread_default(context);
}

void NotificationWatch::Impl::connect() {
    glib::Error error;
    bus = glib::privateSessionBus(error);
    if (!bus) {
        return retryLater("There is no session bus: " + glib::message(error));
    }
    // A monitor's connection is never used for anything else: it cannot send once it is one.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    filterId = g_dbus_connection_add_filter(
        bus, &Impl::filter, new std::shared_ptr<Listener>(listener),
        [](gpointer data) { delete static_cast<std::shared_ptr<Listener>*>(data); });
    const char* rules[] = {NOTIFY_RULE, GTK_NOTIFY_RULE, nullptr};
    GError* callError = nullptr;
    glib::Variant reply(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE,
        MONITOR_CALL_MS, nullptr, &callError));
    glib::Error refused(callError);
    if (!reply) {
        dropConnection();
        return retryLater("The session bus refuses to let Tapdeck watch notifications: " +
                          glib::message(refused));
    }
    g_signal_connect(bus, "closed",
                     G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer self) {
                         static_cast<Impl*>(self)->closed();
                     }),
                     this);
    pause = FIRST_PAUSE;
    std::lock_guard lock(mutex);
    problem.clear();
}

void NotificationWatch::Impl::closed() {
    dropConnection();
    retryLater("The session bus closed.");
}

void NotificationWatch::Impl::retryLater(const std::string& why) {
    TD_LOG(bridge, "notifications are not watched: " + why);
    {
        std::lock_guard lock(mutex);
        problem = why;
    }
    retry.start(context, pause, [this] { connect(); });
    pause = std::min(pause * 2, LONGEST_PAUSE);
}

void NotificationWatch::Impl::dropConnection() {
    if (!bus) {
        return;
    }
    g_signal_handlers_disconnect_by_data(bus, this);
    if (filterId) {
        g_dbus_connection_remove_filter(bus, filterId);
        filterId = 0;
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    bus = nullptr;
}

NotificationWatch::NotificationWatch(std::function<void(DesktopNotification)> seen)
    : impl_(std::make_unique<Impl>(std::move(seen))) {
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    ::pthread_setname_np(impl_->thread.native_handle(), "td-notify");
}

NotificationWatch::~NotificationWatch() {
    stop();
}

void NotificationWatch::stop() {
    if (impl_->stopped.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(impl_->listener->mutex);
        impl_->listener->on = false;
    }
    g_main_context_invoke(
        impl_->context,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        impl_->loop);
    impl_->thread.join();
}

std::string NotificationWatch::problem() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->problem;
}

}  // namespace td::host
