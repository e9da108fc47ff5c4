// The shell module in this process, so that its widgets can be read: the PIN dialog's words and
// the update entry's, exactly as the user sees them.
#include <gmodule.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <string>

#include "shell/shell_abi.hpp"

namespace {

struct FakeAgent {
    std::string pin = "111111";
    bool listening = true;
};

template <typename Function>
Function symbol(GModule* module, const char* name) {
    gpointer found = nullptr;
    EXPECT_TRUE(g_module_symbol(module, name, &found)) << name;
    return reinterpret_cast<Function>(found);
}

std::vector<GtkWidget*> toplevelsOf(GType type) {
    std::vector<GtkWidget*> found;
    GList* all = gtk_window_list_toplevels();
    for (GList* it = all; it; it = it->next) {
        if (G_TYPE_CHECK_INSTANCE_TYPE(it->data, type) &&
            gtk_widget_get_visible(GTK_WIDGET(it->data))) {
            found.push_back(GTK_WIDGET(it->data));
        }
    }
    g_list_free(all);
    return found;
}

std::string stringProperty(GtkWidget* widget, const char* name) {
    gchar* value = nullptr;
    g_object_get(widget, name, &value, nullptr);
    std::string text = value ? value : "";
    g_free(value);
    return text;
}

// The label of the tray menu's first entry.
std::string firstMenuLabel() {
    std::string label;
    GList* all = gtk_window_list_toplevels();
    for (GList* it = all; it; it = it->next) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(it->data));
        if (child && GTK_IS_MENU(child)) {
            GList* items = gtk_container_get_children(GTK_CONTAINER(child));
            label = gtk_menu_item_get_label(GTK_MENU_ITEM(items->data));
            g_list_free(items);
        }
    }
    g_list_free(all);
    return label;
}

void settle() {
    for (int i = 0; i < 50 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

TEST(ShellModule, ThePinDialogShowsThePinOfThatMomentAndTheUpdateEntryItsVersion) {
    GModule* module = g_module_open(TAPDECK_SHELL_MODULE, G_MODULE_BIND_LOCAL);
    ASSERT_NE(module, nullptr) << g_module_error();
    FakeAgent agent;
    TdShellHost host{};
    host.agent = &agent;
    host.port = [](void*) noexcept -> unsigned { return 9000; };
    host.listeningPort = [](void* data) noexcept -> unsigned {
        return static_cast<FakeAgent*>(data)->listening ? 9000 : 0;
    };
    host.pin = [](void* data, char* buffer, unsigned size) noexcept {
        std::strncpy(buffer, static_cast<FakeAgent*>(data)->pin.c_str(), size - 1);
    };
    host.log = [](void*, const char*) noexcept {};
    host.quit = [](void*) noexcept {};
    host.iconFolder = "";
    host.webViewModule = "";
    TdShell* shell = symbol<TdShellStart>(module, td::shell::START_SYMBOL)(&host);
    ASSERT_NE(shell, nullptr);
    const auto showPin = symbol<TdShellShowPin>(module, td::shell::SHOW_PIN_SYMBOL);

    showPin(shell);
    settle();
    auto dialogs = toplevelsOf(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(dialogs[0])), std::string("Pairing PIN"));
    EXPECT_EQ(stringProperty(dialogs[0], "text"), "Pairing PIN");
    EXPECT_EQ(stringProperty(dialogs[0], "secondary-text"),
              "Enter 111111 on your phone, or scan the QR code in the Control Panel.");

    agent.pin = "2468";  // changed through the API meanwhile
    showPin(shell);
    settle();
    dialogs = toplevelsOf(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_EQ(dialogs.size(), 1u);  // the stale one is gone
    EXPECT_EQ(stringProperty(dialogs[0], "secondary-text"),
              "Enter 2468 on your phone, or scan the QR code in the Control Panel.");

    symbol<TdShellUpdateAvailable>(module, td::shell::UPDATE_AVAILABLE_SYMBOL)(
        shell, "1.4.0", "", "https://example.org/");
    bool found = false;
    GList* all = gtk_window_list_toplevels();
    for (GList* it = all; it && !found; it = it->next) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(it->data));
        if (!child || !GTK_IS_MENU(child)) {
            continue;
        }
        GList* items = gtk_container_get_children(GTK_CONTAINER(child));
        GtkWidget* first = GTK_WIDGET(items->data);
        EXPECT_EQ(std::string(gtk_menu_item_get_label(GTK_MENU_ITEM(first))),
                  "Update available \xE2\x80\x94 1.4.0 \xE2\x86\x92");
        EXPECT_TRUE(gtk_widget_get_visible(first));
        EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(items->next->data)));  // its separator
        EXPECT_EQ(gtk_widget_get_tooltip_text(first), nullptr);              // no notes, no tooltip
        g_list_free(items);
        found = true;
    }
    g_list_free(all);
    EXPECT_TRUE(found);

    // Another program holds the port: the menu says so first, and the panel shows why rather
    // than what answers on that port.
    agent.listening = false;
    const auto serverChanged =
        symbol<TdShellServerChanged>(module, td::shell::SERVER_CHANGED_SYMBOL);
    serverChanged(shell, "Port 9000 is held by another user (uid 7)", "Do not pair.");
    symbol<TdShellShowPanel>(module, td::shell::SHOW_PANEL_SYMBOL)(shell);
    settle();
    EXPECT_EQ(firstMenuLabel(), "\xE2\x9A\xA0 Port 9000 is held by another user (uid 7)");
    bool told = false;
    for (GtkWidget* window : toplevelsOf(GTK_TYPE_WINDOW)) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
        told |= child && GTK_IS_LABEL(child) &&
                gtk_label_get_text(GTK_LABEL(child)) == std::string("Do not pair.");
    }
    EXPECT_TRUE(told);
    serverChanged(shell, "", "");
    EXPECT_NE(firstMenuLabel(), "\xE2\x9A\xA0 Port 9000 is held by another user (uid 7)");
    symbol<TdShellStop>(module, td::shell::STOP_SYMBOL)(shell);
}

}  // namespace
