// The desktop shell: the tray item and its menu (Ayatana AppIndicator, a StatusNotifierItem on
// the session bus), the control panel and the PIN dialog. Everything runs on the main thread.
#include <gmodule.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <array>
#include <string>
#include <utility>

#include "shell/shell_abi.hpp"

namespace {

constexpr int PANEL_WIDTH = 980;
constexpr int PANEL_HEIGHT = 740;
// The strip along the top that moves the window, as tall as the page's own header.
constexpr int DRAG_STRIP_HEIGHT = 52;
constexpr const char* WATCHER_NAME = "org.kde.StatusNotifierWatcher";

}  // namespace

struct TdShell {
    TdShellHost host{};
    std::string iconFolder;
    std::string webViewModule;
    AppIndicator* indicator = nullptr;
    GtkWidget* portItem = nullptr;
    std::string portProblem;  // why the agent does not listen; empty while it does or tries
    GtkWidget* updateItem = nullptr;
    GtkWidget* updateSeparator = nullptr;
    std::string updateUrl;
    GtkWidget* panel = nullptr;
    GtkWidget* pinDialog = nullptr;
    GtkWidget* sendDialog = nullptr;  // the "Send to Phone" chooser, while it is open
    guint watcherWatch = 0;
    bool trayKnown = false;
    GDBusConnection* sessionBus = nullptr;  // held for the indicator, which shares it

    void log(const std::string& line) const { host.log(host.agent, line.c_str()); }
};

namespace {

void openUri(const std::string& uri) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
        g_error_free(error);
    }
}

// The module is kept loaded for the rest of the process: the view's code must stay mapped.
TdWebViewNew webViewFactory(const TdShell& shell) {
    GModule* module = g_module_open(shell.webViewModule.c_str(), G_MODULE_BIND_LOCAL);
    gpointer symbol = nullptr;
    if (!module || !g_module_symbol(module, td::shell::WEB_VIEW_NEW_SYMBOL, &symbol)) {
        shell.log(std::string("Cannot load the control panel's web view: ") + g_module_error());
        return nullptr;
    }
    g_module_make_resident(module);
    return reinterpret_cast<TdWebViewNew>(symbol);
}

// Never what answers on the port while the agent does not listen there: another user's program
// could be serving a page that asks for the PIN.
GtkWidget* panelContent(const TdShell& shell) {
    const unsigned port = shell.host.listeningPort(shell.host.agent);
    if (port == 0) {
        GtkWidget* label =
            gtk_label_new(shell.portProblem.empty() ? "Tapdeck is waiting for its port\xE2\x80\xA6"
                                                    : shell.portProblem.c_str());
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
        return label;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/admin";
    if (const TdWebViewNew newWebView = webViewFactory(shell)) {
        if (void* view = newWebView(url.c_str())) {
            return GTK_WIDGET(view);
        }
    }
    return gtk_label_new(("The control panel is at " + url).c_str());
}

GtkWidget* buildPanel(const TdShell& shell) {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Tapdeck");
    gtk_window_set_icon_name(GTK_WINDOW(window), "tapdeck");
    gtk_window_set_default_size(GTK_WINDOW(window), PANEL_WIDTH, PANEL_HEIGHT);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    // A title bar of the toolkit's own, with no title shown: the strip the window is moved by.
    GtkWidget* strip = gtk_header_bar_new();
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(strip), TRUE);
    gtk_widget_set_size_request(strip, -1, DRAG_STRIP_HEIGHT);
    gtk_header_bar_set_custom_title(GTK_HEADER_BAR(strip),
                                    gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0));
    gtk_window_set_titlebar(GTK_WINDOW(window), strip);
    gtk_window_set_title(GTK_WINDOW(window), "Tapdeck");  // the title bar took it over
    // Closing hides: the page keeps its state for the next open.
    g_signal_connect(window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    gtk_container_add(GTK_CONTAINER(window), panelContent(shell));
    return window;
}

void showPanel(TdShell* shell) {
    if (!shell->panel) {
        shell->panel = buildPanel(*shell);
        gtk_widget_show_all(shell->panel);
    }
    gtk_window_present(GTK_WINDOW(shell->panel));
}

void showPin(TdShell* shell) {
    std::array<char, 64> pin{};
    shell->host.pin(shell->host.agent, pin.data(), static_cast<unsigned>(pin.size()));
    pin.back() = '\0';
    if (shell->pinDialog) {
        gtk_widget_destroy(shell->pinDialog);  // its PIN may be out of date
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_NONE, "%s", "Pairing PIN");
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog),
        "Enter %s on your phone, or scan the QR code in the Control Panel.", pin.data());
    gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
    gtk_window_set_title(GTK_WINDOW(dialog), "Pairing PIN");
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    g_signal_connect(dialog, "destroy", G_CALLBACK(+[](GtkWidget* gone, gpointer data) noexcept {
                         auto* owner = static_cast<TdShell*>(data);
                         if (owner->pinDialog == gone) {
                             owner->pinDialog = nullptr;
                         }
                     }),
                     shell);
    shell->pinDialog = dialog;
    gtk_window_present(GTK_WINDOW(dialog));
}

// Files chosen here are offered to the paired phones, which show them until taken (an hour).
// Not modal: the tray's and the API's callers return at once.
void sendToPhone(TdShell* shell) {
    if (shell->sendDialog) {
        gtk_window_present(GTK_WINDOW(shell->sendDialog));  // one chooser, raised again
        return;
    }
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        "Send to Phone", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
        "_Send", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), TRUE);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(chooser), TRUE);
    g_signal_connect(
        chooser, "response",
        G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) noexcept {
            auto* owner = static_cast<TdShell*>(data);
            int refused = 0;
            if (response == GTK_RESPONSE_ACCEPT) {
                GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
                for (GSList* file = files; file; file = file->next) {
                    refused +=
                        owner->host.offerFile(owner->host.agent, static_cast<char*>(file->data))
                            ? 0
                            : 1;
                }
                g_slist_free_full(files, g_free);
            }
            gtk_widget_destroy(GTK_WIDGET(dialog));
            if (refused > 0) {
                GtkWidget* message = gtk_message_dialog_new(
                    nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_CLOSE,
                    "%d of the chosen files could not be sent: only files that can "
                    "be read are.",
                    refused);
                g_signal_connect(message, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
                gtk_widget_show(message);
            }
        }),
        shell);
    g_signal_connect(chooser, "destroy", G_CALLBACK(+[](GtkWidget* gone, gpointer data) noexcept {
                         auto* owner = static_cast<TdShell*>(data);
                         if (owner->sendDialog == gone) {
                             owner->sendDialog = nullptr;
                         }
                     }),
                     shell);
    shell->sendDialog = chooser;
    gtk_window_present(GTK_WINDOW(chooser));
}

// A menu entry whose accelerator is shown beside its label where the toolkit shows them.
GtkWidget* menuEntry(GtkWidget* menu, const char* label, guint key, GCallback action,
                     TdShell* shell) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    if (key != 0) {
        // Through the menu's accelerator group, which is what trays read the shortcut from.
        gtk_widget_add_accelerator(item, "activate", gtk_menu_get_accel_group(GTK_MENU(menu)), key,
                                   GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
    }
    g_signal_connect(item, "activate", action, shell);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show(item);
    return item;
}

GtkWidget* separator(GtkWidget* menu, bool shown) {
    GtkWidget* item = gtk_separator_menu_item_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_set_visible(item, shown);
    return item;
}

GtkWidget* buildMenu(TdShell* shell) {
    GtkWidget* menu = gtk_menu_new();
    GtkAccelGroup* accelerators = gtk_accel_group_new();
    gtk_menu_set_accel_group(GTK_MENU(menu), accelerators);
    g_object_unref(accelerators);  // the menu holds it
    shell->updateItem = menuEntry(menu, "Update available\xE2\x80\xA6", 0,
                                  G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                                      auto* owner = static_cast<TdShell*>(data);
                                      if (!owner->updateUrl.empty()) {
                                          openUri(owner->updateUrl);
                                      }
                                  }),
                                  shell);
    gtk_widget_hide(shell->updateItem);
    shell->updateSeparator = separator(menu, false);
    menuEntry(menu, "Open Control Panel", GDK_KEY_o,
              G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                  showPanel(static_cast<TdShell*>(data));
              }),
              shell);
    menuEntry(menu, "Show Pairing PIN\xE2\x80\xA6", 0,
              G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                  showPin(static_cast<TdShell*>(data));
              }),
              shell);
    menuEntry(menu, "Send to Phone\xE2\x80\xA6", 0,
              G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                  sendToPhone(static_cast<TdShell*>(data));
              }),
              shell);
    separator(menu, true);
    menuEntry(menu, "Quit Tapdeck", GDK_KEY_q,
              G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                  auto* owner = static_cast<TdShell*>(data);
                  owner->host.quit(owner->host.agent);
              }),
              shell);
    return menu;
}

// Without a StatusNotifierWatcher (stock GNOME without the tray extension) nobody shows the
// item: the agent must not be invisible, so the panel opens instead.
void watchForTrayHost(TdShell* shell) {
    shell->watcherWatch = g_bus_watch_name(
        G_BUS_TYPE_SESSION, WATCHER_NAME, G_BUS_NAME_WATCHER_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, gpointer data) noexcept {
            static_cast<TdShell*>(data)->trayKnown = true;
        },
        +[](GDBusConnection*, const gchar*, gpointer data) noexcept {
            auto* shell = static_cast<TdShell*>(data);
            if (shell->trayKnown) {
                return;  // it was there at start; the indicator follows it by itself
            }
            shell->trayKnown = true;
            shell->log(
                "The tray is unavailable (no StatusNotifierWatcher on the session bus); "
                "opening the control panel");
            showPanel(shell);
        },
        shell, nullptr);
}

}  // namespace

extern "C" {

G_MODULE_EXPORT TdShell* tdShellStart(const TdShellHost* host) {
    // GDK picks X visuals for OpenGL at start, which loads the GL driver (and with Mesa, LLVM):
    // ~50 MB for a process that draws a menu and a dialog. The web view renders without it.
    g_setenv("GDK_GL", "disable", FALSE);
    if (!gtk_init_check(nullptr, nullptr)) {
        return nullptr;
    }
    auto* shell = new TdShell;
    shell->host = *host;
    shell->iconFolder = host->iconFolder ? host->iconFolder : "";
    shell->webViewModule = host->webViewModule ? host->webViewModule : "";
    gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), shell->iconFolder.c_str());
    gtk_window_set_default_icon_name("tapdeck");

    // The indicator asks for the session bus in the background and, on a slow start, uses it
    // before it came (its item then never registers); made here first, the bus is there for it.
    shell->sessionBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    shell->indicator =
        app_indicator_new("tapdeck", "tapdeck-symbolic", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_icon_theme_path(shell->indicator, shell->iconFolder.c_str());
    app_indicator_set_title(shell->indicator, "Tapdeck");
    app_indicator_set_menu(shell->indicator, GTK_MENU(buildMenu(shell)));
    app_indicator_set_status(shell->indicator, APP_INDICATOR_STATUS_ACTIVE);
    watchForTrayHost(shell);
    return shell;
}

G_MODULE_EXPORT void tdShellSendToPhone(TdShell* shell) {
    sendToPhone(shell);
}

G_MODULE_EXPORT void tdShellShowPanel(TdShell* shell) {
    showPanel(shell);
}

G_MODULE_EXPORT void tdShellShowPin(TdShell* shell) {
    showPin(shell);
}

G_MODULE_EXPORT void tdShellUpdateAvailable(TdShell* shell, const char* version, const char* notes,
                                            const char* url) {
    shell->updateUrl = url ? url : "";
    const std::string title =
        std::string("Update available \xE2\x80\x94 ") + version + " \xE2\x86\x92";
    gtk_menu_item_set_label(GTK_MENU_ITEM(shell->updateItem), title.c_str());
    gtk_widget_set_tooltip_text(shell->updateItem, notes && *notes ? notes : nullptr);
    gtk_widget_show(shell->updateItem);
    gtk_widget_show(shell->updateSeparator);
    // The item's title is what trays show on hover.
    app_indicator_set_title(shell->indicator,
                            (std::string("Tapdeck ") + version + " is available").c_str());
}

G_MODULE_EXPORT void tdShellServerChanged(TdShell* shell, const char* headline,
                                          const char* details) {
    const bool held = headline && *headline;
    shell->portProblem = held && details ? details : "";
    // An entry at the top of the menu while the port is held, none otherwise.
    if (held && !shell->portItem) {
        GtkWidget* menu = GTK_WIDGET(app_indicator_get_menu(shell->indicator));
        shell->portItem =
            menuEntry(menu, "", 0, G_CALLBACK(+[](GtkMenuItem*, gpointer data) noexcept {
                          showPanel(static_cast<TdShell*>(data));
                      }),
                      shell);
        gtk_menu_reorder_child(GTK_MENU(menu), shell->portItem, 0);
    } else if (!held && shell->portItem) {
        gtk_widget_destroy(std::exchange(shell->portItem, nullptr));
    }
    if (held) {
        gtk_menu_item_set_label(GTK_MENU_ITEM(shell->portItem),
                                (std::string("\xE2\x9A\xA0 ") + headline).c_str());
    }
    app_indicator_set_status(shell->indicator,
                             held ? APP_INDICATOR_STATUS_ATTENTION : APP_INDICATOR_STATUS_ACTIVE);
    if (shell->panel) {
        GtkWidget* old = gtk_bin_get_child(GTK_BIN(shell->panel));
        if (old) {
            gtk_widget_destroy(old);
        }
        gtk_container_add(GTK_CONTAINER(shell->panel), panelContent(*shell));
        gtk_widget_show_all(shell->panel);
    }
}

G_MODULE_EXPORT void tdShellStop(TdShell* shell) {
    if (shell->watcherWatch != 0) {
        g_bus_unwatch_name(shell->watcherWatch);
    }
    if (shell->pinDialog) {
        gtk_widget_destroy(shell->pinDialog);
    }
    if (shell->sendDialog) {
        gtk_widget_destroy(shell->sendDialog);
    }
    if (shell->panel) {
        gtk_widget_destroy(shell->panel);
    }
    // Out of the tray now. The indicator itself is left to the process's end: finalizing it
    // disconnects from menu items its menu has already let go of.
    app_indicator_set_status(shell->indicator, APP_INDICATOR_STATUS_PASSIVE);
    if (shell->sessionBus) {
        g_object_unref(shell->sessionBus);
    }
    delete shell;
}

}  // extern "C"
