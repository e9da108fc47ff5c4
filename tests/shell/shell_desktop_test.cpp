// The agent with its desktop shell, in a private desktop session: a tray host of the test's own
// (a StatusNotifierWatcher on the session bus) reads the item and its menu over dbusmenu and
// clicks entries; windows are looked up on the X server.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/agent_process.hpp"
#include "support/eventually.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace td::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* WATCHER_XML = R"(
<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>)";

using test::eventually;

// A tray host as a desktop panel has one: it owns org.kde.StatusNotifierWatcher and remembers
// who registered an item.
class FakeTrayHost {
  public:
    FakeTrayHost() {
        thread_ = std::thread([this] { serve(); });
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, 10s, [this] { return owned_; });
    }
    ~FakeTrayHost() {
        if (loop_) {
            g_main_loop_quit(loop_);
        }
        thread_.join();
    }
    bool owned() {
        std::lock_guard lock(mutex_);
        return owned_;
    }

    // The registered item's bus name and object path, once one registered.
    std::optional<std::pair<std::string, std::string>> item() {
        std::lock_guard lock(mutex_);
        return item_;
    }
    GDBusConnection* connection() const { return connection_; }

  private:
    void serve() {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        loop_ = g_main_loop_new(context, FALSE);
        connection_ = g_dbus_connection_new_for_address_sync(
            g_getenv("DBUS_SESSION_BUS_ADDRESS"),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(WATCHER_XML, nullptr);
        static const GDBusInterfaceVTable vtable = {
            +[](GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                gpointer self) noexcept {
                if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
                    const gchar* service = nullptr;
                    g_variant_get(parameters, "(&s)", &service);
                    auto* host = static_cast<FakeTrayHost*>(self);
                    std::lock_guard lock(host->mutex_);
                    // Items give their object path (or their bus name, then at the usual path).
                    host->item_ = {sender, service[0] == '/' ? service : "/StatusNotifierItem"};
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                GError**, gpointer) noexcept -> GVariant* {
                if (g_strcmp0(property, "IsStatusNotifierHostRegistered") == 0) {
                    return g_variant_new_boolean(TRUE);
                }
                if (g_strcmp0(property, "ProtocolVersion") == 0) {
                    return g_variant_new_int32(0);
                }
                return g_variant_new_strv(nullptr, 0);
            },
            nullptr,
            {}};
        g_dbus_connection_register_object(connection_, "/StatusNotifierWatcher",
                                          node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        g_bus_own_name_on_connection(
            connection_, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, gpointer self) noexcept {
                auto* host = static_cast<FakeTrayHost*>(self);
                std::lock_guard lock(host->mutex_);
                host->owned_ = true;
                host->ready_.notify_all();
            },
            nullptr, this, nullptr);
        g_main_loop_run(loop_);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);  // gives the name up now
        g_object_unref(connection_);
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    std::thread thread_;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool owned_ = false;
    std::optional<std::pair<std::string, std::string>> item_;
};

GVariant* call(GDBusConnection* connection, const std::string& name, const std::string& path,
               const char* interface, const char* method, GVariant* parameters,
               const char* replyType) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(connection, name.c_str(), path.c_str(), interface, method,
                                    parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error) {
        ADD_FAILURE() << method << ": " << error->message;
        g_error_free(error);
    }
    return reply;
}

std::string itemProperty(GDBusConnection* connection,
                         const std::pair<std::string, std::string>& item, const char* property) {
    GVariant* reply =
        call(connection, item.first, item.second, "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.kde.StatusNotifierItem", property), "(v)");
    if (!reply) {
        return {};
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::string text = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
                               g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)
                           ? g_variant_get_string(value, nullptr)
                           : "";
    g_variant_unref(value);
    g_variant_unref(reply);
    return text;
}

// One entry of the exported menu, as a tray host reads it.
struct MenuEntry {
    int id;
    std::string label;  // "-" for a separator
    bool visible;
    std::string shortcut;  // "Control+o", say; empty when none
};

std::vector<MenuEntry> menuOf(GDBusConnection* connection, const std::string& name,
                              const std::string& menuPath) {
    GVariant* reply =
        call(connection, name, menuPath, "com.canonical.dbusmenu", "GetLayout",
             g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
    std::vector<MenuEntry> entries;
    if (!reply) {
        return entries;
    }
    GVariant* root = g_variant_get_child_value(reply, 1);
    GVariant* children = g_variant_get_child_value(root, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* child = g_variant_get_variant(boxed);
        gint32 id = 0;
        GVariant* properties = nullptr;
        g_variant_get_child(child, 0, "i", &id);
        properties = g_variant_get_child_value(child, 1);
        GVariantDict dict;
        g_variant_dict_init(&dict, properties);
        const gchar* label = nullptr;
        const gchar* type = nullptr;
        gboolean visible = TRUE;
        g_variant_dict_lookup(&dict, "label", "&s", &label);
        g_variant_dict_lookup(&dict, "type", "&s", &type);
        g_variant_dict_lookup(&dict, "visible", "b", &visible);
        std::string shortcut;
        if (GVariant* keys =
                g_variant_dict_lookup_value(&dict, "shortcut", G_VARIANT_TYPE("aas"))) {
            if (g_variant_n_children(keys) > 0) {
                GVariant* first = g_variant_get_child_value(keys, 0);
                gsize count = 0;
                const gchar** parts = g_variant_get_strv(first, &count);
                for (gsize k = 0; k < count; ++k) {
                    shortcut += (k ? "+" : "") + std::string(parts[k]);
                }
                g_free(parts);
                g_variant_unref(first);
            }
            g_variant_unref(keys);
        }
        entries.push_back({id, g_strcmp0(type, "separator") == 0 ? "-" : (label ? label : ""),
                           visible == TRUE, shortcut});
        g_variant_dict_clear(&dict);
        g_variant_unref(properties);
        g_variant_unref(child);
        g_variant_unref(boxed);
    }
    g_variant_unref(children);
    g_variant_unref(root);
    g_variant_unref(reply);
    return entries;
}

void click(GDBusConnection* connection, const std::string& name, const std::string& menuPath,
           int id) {
    if (GVariant* reply =
            call(connection, name, menuPath, "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr)) {
        g_variant_unref(reply);
    }
}

// Top-level windows on the X server, by title; GTK's 1 × 1 helper window and a fallback tray
// icon (16 × 16, named after the item) do not count.
class XWindows {
  public:
    XWindows() : display_(XOpenDisplay(nullptr)) {
        // A window can vanish between listing it and asking about it (GTK's short-lived
        // helpers): the call then fails and returns 0, which every caller checks, instead of
        // Xlib's default handler ending the test.
        XSetErrorHandler([](Display*, XErrorEvent*) noexcept { return 0; });
    }
    ~XWindows() {
        if (display_) {
            XCloseDisplay(display_);
        }
    }
    bool open() const { return display_ != nullptr; }

    std::vector<Window> shown(const std::string& title) {
        std::vector<Window> found;
        Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
        unsigned count = 0;
        XSync(display_, False);
        if (!XQueryTree(display_, root, &root, &parent, &children, &count)) {
            return found;
        }
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            char* name = nullptr;
            if (XGetWindowAttributes(display_, children[i], &attributes) &&
                attributes.map_state == IsViewable && attributes.width >= 100 &&
                XFetchName(display_, children[i], &name) && name) {
                if (title == name) {
                    found.push_back(children[i]);
                }
                XFree(name);
            }
        }
        XFree(children);
        return found;
    }

    // Asks the window to close, as a window manager's close button does.
    void close(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] =
            static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, window, False, NoEventMask, &event);
        XFlush(display_);
    }

  private:
    Display* display_;
};

// One agent in GUI mode with a support and a config folder of its own.
struct GuiAgent {
    explicit GuiAgent(bool firstRun, std::vector<std::string> extraEnv = {}) {
        const auto support = dir.path() / "support";
        std::filesystem::create_directories(support);
        std::filesystem::permissions(support, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        if (!firstRun) {
            dir.write("support/state.json", R"({"pin":"482913","tokens":[],"relayId":"GUI-TEST"})");
            std::filesystem::permissions(
                support / "state.json",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                std::filesystem::perm_options::replace);
        }
        extraEnv.push_back("XDG_CONFIG_HOME=" + (dir.path() / "config").string());
        process.emplace(support, std::vector<std::string>{}, extraEnv);
        port = process->port();
    }
    std::filesystem::path loginItem() const {
        return dir.path() / "config" / "autostart" / "tapdeck.desktop";
    }

    TempDir dir;
    std::optional<AgentProcess> process;
    std::uint16_t port = 0;
};

TEST(DesktopShell, TrayMenuPanelPinDialogAndQuit) {
    FakeTrayHost tray;
    ASSERT_TRUE(tray.owned());
    XWindows windows;
    ASSERT_TRUE(windows.open());
    // An app whose icon the agent draws with GTK, which here runs on the main thread.
    const auto apps = std::filesystem::path(g_getenv("XDG_DATA_HOME")) / "applications";
    std::filesystem::create_directories(apps);
    std::ofstream(apps / "tapdeck-shell-test.desktop")
        << "[Desktop Entry]\nType=Application\nName=Shell Test App\nExec=true\nIcon=" << BUILD_DIR
        << "/public/icon-192.png\n";
    GuiAgent agent(/*firstRun=*/false);
    ASSERT_NE(agent.port, 0) << agent.process->output();

    ASSERT_TRUE(eventually([&] { return tray.item().has_value(); })) << agent.process->output();
    const auto item = *tray.item();
    EXPECT_EQ(itemProperty(tray.connection(), item, "Id"), "tapdeck");
    EXPECT_EQ(itemProperty(tray.connection(), item, "IconName"), "tapdeck-symbolic");
    const std::string menuPath = itemProperty(tray.connection(), item, "Menu");
    const auto menu = menuOf(tray.connection(), item.first, menuPath);
    std::vector<std::tuple<std::string, bool, std::string>> seen;
    for (const auto& entry : menu) {
        seen.emplace_back(entry.label, entry.visible, entry.shortcut);
    }
    using Entry = std::tuple<std::string, bool, std::string>;
    EXPECT_EQ(seen, (std::vector<Entry>{
                        {"Update available\xE2\x80\xA6", false, ""},
                        {"-", false, ""},
                        {"Open Control Panel", true, "Control+o"},
                        {"Show Pairing PIN\xE2\x80\xA6", true, ""},
                        {"-", true, ""},
                        {"Quit Tapdeck", true, "Control+q"},
                    }));
    ASSERT_EQ(menu.size(), 6u);
    EXPECT_TRUE(windows.shown("Tapdeck").empty());  // no panel until asked for

    // The API's request, then the menu twice: one window.
    exchange(agent.port, "POST /api/open-admin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return windows.shown("Tapdeck").size() == 1; }));
    click(tray.connection(), item.first, menuPath, menu[2].id);
    click(tray.connection(), item.first, menuPath, menu[2].id);
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(windows.shown("Tapdeck").size(), 1u);
    // Closed, it is only hidden: the next open shows the very same window again.
    const Window panel = windows.shown("Tapdeck").at(0);
    windows.close(panel);
    ASSERT_TRUE(eventually([&] { return windows.shown("Tapdeck").empty(); }));
    exchange(agent.port, "POST /api/open-admin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return windows.shown("Tapdeck").size() == 1; }));
    EXPECT_EQ(windows.shown("Tapdeck").at(0), panel);

    click(tray.connection(), item.first, menuPath, menu[3].id);
    ASSERT_TRUE(eventually([&] { return windows.shown("Pairing PIN").size() == 1; }));

    const std::string icon = exchange(
        agent.port, "GET /api/icon?app=Shell%20Test%20App HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(icon.starts_with("HTTP/1.1 200")) << icon.substr(0, 200);
    EXPECT_EQ(headerValue(icon, "Content-Type"), "image/png");

    EXPECT_TRUE(std::filesystem::exists(agent.loginItem()));
    click(tray.connection(), item.first, menuPath, menu[5].id);
    EXPECT_EQ(agent.process->waitExit(10s), 0);
}

TEST(DesktopShell, TheFirstRunOpensThePanelAndRegistersAtLogin) {
    FakeTrayHost tray;
    XWindows windows;
    GuiAgent agent(/*firstRun=*/true);
    ASSERT_NE(agent.port, 0) << agent.process->output();
    EXPECT_TRUE(eventually([&] { return windows.shown("Tapdeck").size() == 1; }));
    std::ifstream file(agent.loginItem());
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(text.find("\nExec=" + std::filesystem::canonical(TAPDECK_BINARY).string() + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos);
    EXPECT_EQ(agent.process->stopWith(SIGTERM), 0);
}

// Stock GNOME without the tray extension: nobody would show the item, so the panel opens.
TEST(DesktopShell, WithoutATrayThePanelOpensAndAServiceLeavesLoginAlone) {
    XWindows windows;
    GuiAgent agent(/*firstRun=*/false, {"INVOCATION_ID=0123456789abcdef"});
    ASSERT_NE(agent.port, 0) << agent.process->output();
    EXPECT_TRUE(agent.process->waitForLine(std::regex("tray is unavailable")));
    EXPECT_TRUE(eventually([&] { return windows.shown("Tapdeck").size() == 1; }));
    EXPECT_FALSE(std::filesystem::exists(agent.loginItem()));
    EXPECT_EQ(agent.process->stopWith(SIGINT), 0);
}

}  // namespace
}  // namespace td::test
