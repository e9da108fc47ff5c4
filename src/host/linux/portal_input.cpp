#include <linux/input-event-codes.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "common/files.hpp"
#include "common/log.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/linux/keyboards.hpp"
#include "host/linux/pointers.hpp"

namespace td::host {
namespace {

constexpr const char* PORTAL_NAME = "org.freedesktop.portal.Desktop";
constexpr const char* PORTAL_PATH = "/org/freedesktop/portal/desktop";
constexpr const char* REMOTE_DESKTOP = "org.freedesktop.portal.RemoteDesktop";
constexpr std::uint32_t KEYBOARD_DEVICE = 1;
constexpr std::uint32_t POINTER_DEVICE = 2;
// Restore tokens came with version 2 of the interface; "persistent" keeps the grant across
// restarts of the agent until the user revokes it.
constexpr std::uint32_t PERSIST_UNTIL_REVOKED = 2;
constexpr std::uint32_t RESTORE_TOKENS_SINCE = 2;
// A portal that does not answer its properties in this time is treated as absent, so that a
// hung portal cannot hold up the agent's start for long.
constexpr int PROBE_TIMEOUT_MS = 3000;
// A remembered grant comes back without a dialog; the key press that asked waits this long
// for it instead of failing once after every start.
constexpr auto RESTORE_WAIT = std::chrono::seconds(5);
constexpr int NOTIFY_TIMEOUT_MS = 2000;
// A question the portal never answered (it crashed while its dialog was up) is asked again.
constexpr auto UNANSWERED_AFTER = std::chrono::minutes(2);

enum class Access { none, asking, granted, refused, failed };

// One of the portal's properties, or nothing.
glib::Variant portalProperty(GDBusConnection* bus, const char* name) {
    GError* raw = nullptr;
    glib::Variant reply(g_dbus_connection_call_sync(
        bus, PORTAL_NAME, PORTAL_PATH, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", REMOTE_DESKTOP, name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        PROBE_TIMEOUT_MS, nullptr, &raw));
    const glib::Error error(raw);
    if (!reply) {
        TD_LOG(keys, "no RemoteDesktop portal: " + glib::message(error));
        return nullptr;
    }
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return glib::Variant(value);
}

std::uint32_t uintProperty(GDBusConnection* bus, const char* name) {
    const glib::Variant value = portalProperty(bus, name);
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)
               ? g_variant_get_uint32(value.get())
               : 0;
}

// One call to the portal that makes the desktop act: a key or the pointer.
struct Notification {
    const char* method;
    glib::Variant parameters;  // without the session and options, which `send` puts first
};

// The portal's RemoteDesktop interface: the user grants keyboard and pointer access once, in one
// dialog of the desktop's own; where the portal can, the grant is remembered (a restore token
// in the support folder) so the dialog does not come back. The D-Bus conversation runs on a
// thread of its own, whose main context receives the portal's answers; the keyboard and the
// pointer below share this one session and call it from any thread.
class PortalSession {
  public:
    PortalSession(glib::Object<GDBusConnection> bus, std::uint32_t version, std::uint32_t devices,
                  const std::filesystem::path& supportFolder)
        : bus_(std::move(bus)),
          version_(version),
          wanted_(devices),
          tokenFile_(supportFolder / "remote-desktop.token"),
          devicesFile_(supportFolder / "remote-desktop.devices"),
          context_(g_main_context_new()),
          loop_(g_main_loop_new(context_, FALSE)),
          thread_([this] { runPortalThread(); }) {}

    ~PortalSession() {
        onPortalThread([this] {
            closeSession();
            for (const auto& pending : pending_) {
                g_dbus_connection_signal_unsubscribe(bus_.get(), pending->subscription);
            }
            g_main_loop_quit(loop_);
        });
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    // Access was granted for the device (KEYBOARD_DEVICE or POINTER_DEVICE).
    bool granted(std::uint32_t device) {
        std::lock_guard lock(mutex_);
        return access_ == Access::granted && (devices_ & device) != 0;
    }

    bool offers(std::uint32_t device) const { return (wanted_ & device) != 0; }

    // Asks for both devices at once, so that one dialog covers them; waits for a remembered
    // grant (which comes back without a dialog), not for the user's answer.
    bool requestAccess(std::uint32_t device) {
        std::unique_lock lock(mutex_);
        if (access_ == Access::granted && (devices_ & device) != 0) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (access_ != Access::asking || now - askedAt_ > UNANSWERED_AFTER) {
            access_ = Access::asking;
            askedAt_ = now;
            onPortalThread([this] { createSession(); });
        }
        if (restoreToken().empty()) {
            return false;  // the dialog is up; the user's answer arrives later
        }
        changed_.wait_for(lock, RESTORE_WAIT, [this] { return access_ != Access::asking; });
        return access_ == Access::granted && (devices_ & device) != 0;
    }

    Access access() {
        std::lock_guard lock(mutex_);
        return access_;
    }

    // Each event is waited for before the next: sent without waiting, mutter applied the Shift
    // an upper-case letter needs to the next letter too (measured on GNOME 43). A session the
    // portal no longer knows is forgotten.
    bool send(std::uint32_t device, std::vector<Notification> events) {
        std::lock_guard lock(sendMutex_);
        const std::string session = grantedSession(device);
        if (session.empty()) {
            return false;
        }
        for (Notification& event : events) {
            if (!notify(session, event)) {
                settle(Access::none);
                return false;
            }
        }
        return true;
    }

  private:
    using Then = std::function<void(std::uint32_t response, GVariant* results)>;
    // A call whose answer is awaited.
    struct Pending {
        PortalSession* self;
        guint subscription;
        Then then;
    };

    void runPortalThread() {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    }

    // Always queued, never run in place (as g_main_context_invoke may): the portal's answers
    // arrive on the context that was current where their subscriptions were made.
    void onPortalThread(std::function<void()> task) {
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) noexcept -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(task)),
            [](gpointer data) noexcept { delete static_cast<std::function<void()>*>(data); });
        g_source_attach(source, context_);
        g_source_unref(source);
    }

    void settle(Access access) {
        {
            std::lock_guard lock(mutex_);
            access_ = access;
        }
        changed_.notify_all();
    }

    // The grant to restore without a dialog. A grant kept before the pointer was asked for
    // (no devices file beside it) is not restored: the dialog then asks once for both.
    std::string restoreToken() const {
        const std::string token = readWholeFile(tokenFile_.string()).value_or("");
        const bool coversAll =
            readWholeFile(devicesFile_.string()).has_value() || wanted_ == KEYBOARD_DEVICE;
        return coversAll ? token : std::string();
    }

    // Request objects are named after our bus name and a token of ours, so that we can listen
    // for the answer before asking (the portal may answer before the call returns).
    std::string nextToken() { return "tapdeck" + std::to_string(++tokenCount_); }

    std::string requestPath(const std::string& token) const {
        std::string sender = g_dbus_connection_get_unique_name(bus_.get());
        sender.erase(0, 1);  // ":1.42" → "1_42"
        std::replace(sender.begin(), sender.end(), '.', '_');
        return std::string(PORTAL_PATH) + "/request/" + sender + "/" + token;
    }

    // Calls a portal method that answers through a Request object's Response signal.
    // `makeParameters` builds the call's parameters around its options, which hold the request's
    // handle token already.
    void callWithResponse(const char* method,
                          const std::function<GVariant*(GVariantBuilder* options)>& makeParameters,
                          Then then) {
        const std::string token = nextToken();
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(token.c_str()));
        auto* pending = pending_.emplace_back(new Pending{this, 0, std::move(then)}).get();
        pending->subscription = g_dbus_connection_signal_subscribe(
            bus_.get(), PORTAL_NAME, "org.freedesktop.portal.Request", "Response",
            requestPath(token).c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NO_MATCH_RULE,
            &PortalSession::onResponse, pending, nullptr);
        g_dbus_connection_call(bus_.get(), PORTAL_NAME, PORTAL_PATH, REMOTE_DESKTOP, method,
                               makeParameters(&options), G_VARIANT_TYPE("(o)"),
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &PortalSession::onCalled,
                               pending);
    }

    static void onCalled(GObject* source, GAsyncResult* result, gpointer data) noexcept {
        GError* raw = nullptr;
        const glib::Variant reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &raw));
        const glib::Error error(raw);
        if (!reply) {
            auto* pending = static_cast<Pending*>(data);
            TD_LOG(keys, "the portal refused a call: " + glib::message(error));
            PortalSession* self = pending->self;
            self->finish(pending);
            self->settle(Access::failed);
        }
    }

    static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data) noexcept {
        auto* pending = static_cast<Pending*>(data);
        std::uint32_t response = 2;
        GVariant* results = nullptr;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
            g_variant_get(parameters, "(u@a{sv})", &response, &results);
        } else {
            results = g_variant_ref_sink(g_variant_new("a{sv}", nullptr));
        }
        const glib::Variant owned(results);
        const Then then = std::move(pending->then);
        PortalSession* self = pending->self;
        self->finish(pending);
        then(response, owned.get());
    }

    // The answer came: no more listening for it.
    void finish(Pending* pending) {
        g_dbus_connection_signal_unsubscribe(bus_.get(), pending->subscription);
        std::erase_if(pending_, [pending](const auto& kept) { return kept.get() == pending; });
    }

    // Ends an answer that was not "granted": 1 is the user's refusal, anything else a failure.
    bool refusedOrFailed(std::uint32_t response, const char* step) {
        if (response == 0) {
            return false;
        }
        TD_LOG(keys, std::string("the portal's ") + step + " ended with " +
                         (response == 1 ? "the user's refusal" : "a failure"));
        settle(response == 1 ? Access::refused : Access::failed);
        return true;
    }

    void createSession() {
        closeSession();
        callWithResponse(
            "CreateSession",
            [this](GVariantBuilder* options) {
                g_variant_builder_add(options, "{sv}", "session_handle_token",
                                      g_variant_new_string(nextToken().c_str()));
                return g_variant_new("(a{sv})", options);
            },
            [this](std::uint32_t response, GVariant* results) {
                const char* session = nullptr;
                if (refusedOrFailed(response, "session")) {
                    return;
                }
                if (!g_variant_lookup(results, "session_handle", "&s", &session) &&
                    !g_variant_lookup(results, "session_handle", "&o", &session)) {
                    TD_LOG(keys, "the portal's session answer has no session handle");
                    return settle(Access::failed);
                }
                setSession(session);
                watchSession();
                selectDevices();
            });
    }

    void selectDevices() {
        callWithResponse(
            "SelectDevices",
            [this](GVariantBuilder* options) {
                g_variant_builder_add(options, "{sv}", "types", g_variant_new_uint32(wanted_));
                if (version_ >= RESTORE_TOKENS_SINCE) {
                    g_variant_builder_add(options, "{sv}", "persist_mode",
                                          g_variant_new_uint32(PERSIST_UNTIL_REVOKED));
                    if (const std::string restore = restoreToken(); !restore.empty()) {
                        g_variant_builder_add(options, "{sv}", "restore_token",
                                              g_variant_new_string(restore.c_str()));
                    }
                }
                return g_variant_new("(oa{sv})", currentSession().c_str(), options);
            },
            [this](std::uint32_t response, GVariant*) {
                if (!refusedOrFailed(response, "device choice")) {
                    start();
                }
            });
    }

    void start() {
        callWithResponse(
            "Start",
            [this](GVariantBuilder* options) {
                return g_variant_new("(osa{sv})", currentSession().c_str(), "", options);
            },
            [this](std::uint32_t response, GVariant* results) {
                if (refusedOrFailed(response, "start")) {
                    return;
                }
                std::uint32_t devices = 0;
                g_variant_lookup(results, "devices", "u", &devices);
                if (!(devices & wanted_)) {
                    TD_LOG(keys, "the portal granted neither keyboard nor pointer");
                    return settle(Access::refused);
                }
                const char* restore = nullptr;
                if (g_variant_lookup(results, "restore_token", "&s", &restore) &&
                    (!replaceFileAtomically(tokenFile_.string(), restore, PRIVATE_FILE_MODE) ||
                     !replaceFileAtomically(devicesFile_.string(), std::to_string(devices),
                                            PRIVATE_FILE_MODE))) {
                    TD_LOG(keys, "cannot keep the portal's grant in " + tokenFile_.string());
                }
                {
                    std::lock_guard lock(mutex_);
                    devices_ = devices;
                }
                if (devices & KEYBOARD_DEVICE) {
                    primeKeyboard();
                }
                settle(Access::granted);
            });
    }

    // A session the desktop ends (the user revoked it, the portal restarted) is asked for again
    // at the next key press.
    void watchSession() {
        closedSubscription_ = g_dbus_connection_signal_subscribe(
            bus_.get(), PORTAL_NAME, "org.freedesktop.portal.Session", "Closed",
            currentSession().c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
               gpointer data) noexcept {
                auto* self = static_cast<PortalSession*>(data);
                TD_LOG(keys, "the desktop closed the remote-control session");
                self->forgetSession();
                self->settle(Access::none);
            },
            this, nullptr);
    }

    void forgetSession() {
        if (closedSubscription_) {
            g_dbus_connection_signal_unsubscribe(bus_.get(), closedSubscription_);
            closedSubscription_ = 0;
        }
        setSession("");
    }

    void closeSession() {
        if (const std::string session = currentSession(); !session.empty()) {
            g_dbus_connection_call(bus_.get(), PORTAL_NAME, session.c_str(),
                                   "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        }
        forgetSession();
    }

    std::string currentSession() {
        std::lock_guard lock(mutex_);
        return session_;
    }
    void setSession(std::string session) {
        std::lock_guard lock(mutex_);
        session_ = std::move(session);
    }

    std::string grantedSession(std::uint32_t device) {
        std::lock_guard lock(mutex_);
        return access_ == Access::granted && (devices_ & device) != 0 ? session_ : std::string();
    }

    // The desktop makes its keyboard device at the first key event, and focused windows learn
    // of it only then: that first event never reaches them (measured on mutter). A Shift tap,
    // lost instead of the user's first characters, makes the device now.
    void primeKeyboard() {
        const std::string session = currentSession();
        for (const bool press : {true, false}) {
            Notification shift{"NotifyKeyboardKeycode",
                               glib::Variant(g_variant_ref_sink(g_variant_new(
                                   "(iu)", static_cast<int>(KEY_LEFTSHIFT), press ? 1u : 0u)))};
            notify(session, shift);
        }
    }

    // The call's parameters: the session, empty options, then the event's own values.
    bool notify(const std::string& session, const Notification& event) {
        GVariantBuilder parameters;
        g_variant_builder_init(&parameters, G_VARIANT_TYPE_TUPLE);
        g_variant_builder_add(&parameters, "o", session.c_str());
        g_variant_builder_add(&parameters, "a{sv}", nullptr);
        GVariantIter values;
        g_variant_iter_init(&values, event.parameters.get());
        while (GVariant* value = g_variant_iter_next_value(&values)) {
            g_variant_builder_add_value(&parameters, value);
            g_variant_unref(value);
        }
        GError* raw = nullptr;
        const glib::Variant reply(
            g_dbus_connection_call_sync(bus_.get(), PORTAL_NAME, PORTAL_PATH, REMOTE_DESKTOP,
                                        event.method, g_variant_builder_end(&parameters), nullptr,
                                        G_DBUS_CALL_FLAGS_NONE, NOTIFY_TIMEOUT_MS, nullptr, &raw));
        const glib::Error error(raw);
        if (!reply) {
            TD_LOG(keys,
                   std::string("the portal refused ") + event.method + ": " + glib::message(error));
        }
        return reply != nullptr;
    }

    const glib::Object<GDBusConnection> bus_;
    const std::uint32_t version_;
    const std::uint32_t wanted_;  // the devices asked for: what the portal offers of the two
    const std::filesystem::path tokenFile_;
    const std::filesystem::path devicesFile_;  // what the kept grant covers
    GMainContext* const context_;
    GMainLoop* const loop_;
    // Touched on the portal thread only.
    std::vector<std::unique_ptr<Pending>> pending_;
    guint closedSubscription_ = 0;
    unsigned tokenCount_ = 0;

    std::mutex mutex_;  // guards the four below
    std::condition_variable changed_;
    Access access_ = Access::none;
    std::uint32_t devices_ = 0;  // granted
    std::chrono::steady_clock::time_point askedAt_;
    std::string session_;   // written on the portal thread, read by key presses
    std::mutex sendMutex_;  // the events of two actions never interleave
    std::thread thread_;    // last: it starts once everything it uses exists
};

glib::Variant values(GVariant* tuple) {
    return glib::Variant(g_variant_ref_sink(tuple));
}

// The keyboard half of the session.
class PortalKeyboard final : public Keyboard {
  public:
    explicit PortalKeyboard(std::shared_ptr<PortalSession> session)
        : session_(std::move(session)) {}

    KeysBackend backend() const override { return KeysBackend::portal; }
    bool trusted() override { return session_->granted(KEYBOARD_DEVICE); }
    bool requestAccess() override { return session_->requestAccess(KEYBOARD_DEVICE); }

    // By keysym, as typing is: the desktop finds the key in the layout in use now (on AZERTY
    // Ctrl+Z is Control with the key that types "z"), and a modifier is a keysym as well.
    bool pressCombination(const std::vector<Keysym>& keys) override {
        std::vector<Notification> events;
        for (Keysym keysym : keys) {
            events.push_back({"NotifyKeyboardKeysym", values(g_variant_new("(iu)", keysym, 1u))});
        }
        for (auto keysym = keys.rbegin(); keysym != keys.rend(); ++keysym) {
            events.push_back({"NotifyKeyboardKeysym", values(g_variant_new("(iu)", *keysym, 0u))});
        }
        return session_->send(KEYBOARD_DEVICE, std::move(events));
    }

    bool typeKeysyms(const std::vector<Keysym>& keysyms) override {
        std::vector<Notification> events;
        for (Keysym keysym : keysyms) {
            for (const std::uint32_t press : {1u, 0u}) {
                events.push_back(
                    {"NotifyKeyboardKeysym", values(g_variant_new("(iu)", keysym, press))});
            }
        }
        return session_->send(KEYBOARD_DEVICE, std::move(events));
    }

    std::string unavailableText(KeysHelp form) override {
        const bool brief = form == KeysHelp::brief;
        switch (session_->access()) {
            case Access::refused:
                return brief ? "Keyboard control was not allowed on this computer."
                             : "Keyboard control was not allowed on this computer: try again and "
                               "choose Allow (or Share) in the dialog on its screen.";
            case Access::failed:
                return brief ? "The desktop's portal could not start keyboard control."
                             : "The desktop's portal could not start keyboard control: try "
                               "again, or log out and back in if it keeps failing.";
            case Access::none:
            case Access::asking:
            case Access::granted:
                break;
        }
        return brief ? "Allow keyboard control on this computer's screen, then try again."
                     : "Allow Tapdeck to control the keyboard in the dialog on this computer's "
                       "screen, then try again.";
    }

  private:
    const std::shared_ptr<PortalSession> session_;
};

// The pointer half. Moves are relative and pass no acceleration of the desktop's; scrolling is
// smooth, in pixels.
class PortalPointer final : public Pointer {
  public:
    explicit PortalPointer(std::shared_ptr<PortalSession> session) : session_(std::move(session)) {}

    PointerBackend backend() const override { return PointerBackend::portal; }
    bool trusted() override { return session_->granted(POINTER_DEVICE); }
    bool requestAccess() override { return session_->requestAccess(POINTER_DEVICE); }

    bool apply(const std::vector<PointerEvent>& events) override {
        std::vector<Notification> calls;
        for (const PointerEvent& event : events) {
            switch (event.kind) {
                case PointerEvent::Kind::move:
                    calls.push_back(
                        {"NotifyPointerMotion", values(g_variant_new("(dd)", event.dx, event.dy))});
                    break;
                case PointerEvent::Kind::button:
                    for (const std::uint32_t press : {1u, 0u}) {
                        if ((press == 1 && event.action != ButtonAction::up) ||
                            (press == 0 && event.action != ButtonAction::down)) {
                            calls.push_back(
                                {"NotifyPointerButton",
                                 values(g_variant_new(
                                     "(iu)", static_cast<std::int32_t>(evdevButton(event.button)),
                                     press))});
                        }
                    }
                    break;
                case PointerEvent::Kind::scroll:
                    calls.push_back(
                        {"NotifyPointerAxis", values(g_variant_new("(dd)", event.dx, event.dy))});
                    break;
            }
        }
        return session_->send(POINTER_DEVICE, std::move(calls));
    }

    std::string unavailableText() override {
        switch (session_->access()) {
            case Access::refused:
                return "Pointer control was not allowed on this computer.";
            case Access::failed:
                return "The desktop's portal could not start pointer control.";
            case Access::none:
            case Access::asking:
            case Access::granted:
                break;
        }
        return "Allow pointer control on this computer's screen, then try again.";
    }

  private:
    const std::shared_ptr<PortalSession> session_;
};

}  // namespace

DesktopInput makePortalInput(const std::filesystem::path& supportFolder) {
    GError* raw = nullptr;
    glib::Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    const glib::Error error(raw);
    if (!bus) {
        TD_LOG(keys, "no session bus: " + glib::message(error));
        return {};
    }
    const std::uint32_t devices =
        uintProperty(bus.get(), "AvailableDeviceTypes") & (KEYBOARD_DEVICE | POINTER_DEVICE);
    if (!(devices & KEYBOARD_DEVICE)) {
        return {};
    }
    const std::uint32_t version = uintProperty(bus.get(), "version");
    auto session = std::make_shared<PortalSession>(std::move(bus), version, devices, supportFolder);
    DesktopInput input{std::make_shared<PortalKeyboard>(session), nullptr};
    if (devices & POINTER_DEVICE) {
        input.pointer = std::make_shared<PortalPointer>(session);
    }
    return input;
}

}  // namespace td::host
