// Desktop notifications against a notification service on the session bus (python3-dbusmock's
// notification daemon), in a private desktop session.
#include "host/notifications.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <mutex>

#include "host/notification_watch.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"

namespace td::host {
namespace {

constexpr const char* SERVICE = "org.freedesktop.Notifications";
constexpr const char* PATH = "/org/freedesktop/Notifications";

GVariant* call(GDBusConnection* bus, const char* destination, const char* path,
               const char* interface, const char* method, GVariant* parameters) {
    return g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters,
                                       nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

bool serviceRuns(GDBusConnection* bus) {
    return test::eventually([&] {
        GVariant* owned =
            call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "NameHasOwner", g_variant_new("(s)", SERVICE));
        gboolean yes = FALSE;
        if (owned) {
            g_variant_get(owned, "(b)", &yes);
            g_variant_unref(owned);
        }
        return yes == TRUE;
    });
}

TEST(Notifier, ANotificationNamingAFolderOpensItWhenClickedAndNoOtherDoes) {
    test::ChildProcess daemon(
        {"/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon"});
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_TRUE(bus);
    ASSERT_TRUE(serviceRuns(bus));
    std::vector<std::string> opened;
    Notifier notifier([&](const std::string& folder) { opened.push_back(folder); });
    ASSERT_TRUE(notifier.show("Received 2 files", "From your phone", "/home/me/Downloads"));
    ASSERT_TRUE(notifier.show("Something else", "no folder"));
    const auto click = [&](guint32 id, const char* action) {
        g_variant_unref(call(bus, SERVICE, PATH, "org.freedesktop.DBus.Mock", "EmitSignal",
                             g_variant_new_parsed("(%s, 'ActionInvoked', 'us', [<%u>, <%s>])",
                                                  SERVICE, id, action)));
    };
    // The daemon numbers notifications from 1: the first names the folder, the second none.
    click(2, "default");
    click(1, "default");
    EXPECT_TRUE(test::eventually([&] {
        g_main_context_iteration(nullptr, FALSE);
        return opened.size() == 1;
    }));
    EXPECT_EQ(opened, std::vector<std::string>{"/home/me/Downloads"});
    click(1, "default");  // a notification opens its folder once
    for (int i = 0; i < 20; ++i) {
        g_main_context_iteration(nullptr, FALSE);
    }
    EXPECT_EQ(opened.size(), 1u);
    g_object_unref(bus);
}

TEST(NotificationWatch, HearsEveryAppsNotificationsWithoutTakingThemFromTheDesktop) {
    test::ChildProcess daemon(
        {"/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon"});
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_TRUE(bus);
    std::mutex mutex;
    std::vector<DesktopNotification> seen;
    NotificationWatch watch([&](DesktopNotification notification) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(notification));
    });
    ASSERT_TRUE(test::eventually([&] { return watch.problem().empty(); })) << watch.problem();
    ASSERT_TRUE(serviceRuns(bus));
    // A call that no service shows (another path) is nothing to tell.
    g_dbus_connection_call_sync(bus, SERVICE, "/elsewhere", SERVICE, "Notify",
                                g_variant_new_parsed("('Builder', @u 0, '', 'misdirected', '', "
                                                     "@as [], @a{sv} {}, 5000)"),
                                nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    // The desktop's own service still answers the call, with its id.
    GVariant* shown = call(bus, SERVICE, PATH, SERVICE, "Notify",
                           g_variant_new_parsed("('Builder', @u 0, '', 'Build done', "
                                                "'<b>all</b> green', @as [], @a{sv} {}, 5000)"));
    ASSERT_TRUE(shown);
    g_variant_unref(shown);
    // GLib applications tell their notifications to the shell through org.gtk.Notifications,
    // played here by the test's own connection.
    g_variant_unref(call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "RequestName",
                         g_variant_new("(su)", "org.gtk.Notifications", 4u)));
    g_dbus_connection_call_sync(
        bus, "org.gtk.Notifications", "/org/gtk/Notifications", "org.gtk.Notifications",
        "AddNotification",
        g_variant_new_parsed("('org.example.Chat', 'n1', {'title': <'Ann'>, 'body': <'hi'>})"),
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 1000, nullptr, nullptr);
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard lock(mutex);
        return seen.size() == 2;
    }));
    EXPECT_EQ(seen[0].app, "Builder");
    EXPECT_EQ(seen[0].summary, "Build done");
    EXPECT_EQ(seen[0].body, "<b>all</b> green");
    EXPECT_EQ(seen[1].app, "org.example.Chat");
    EXPECT_EQ(seen[1].summary, "Ann");
    EXPECT_EQ(seen[1].body, "hi");
    watch.stop();
    g_object_unref(bus);
}

}  // namespace
}  // namespace td::host
