#pragma once

// What the desktop shell (tapdeck-shell.so) and the agent offer each other, as plain C. The agent
// loads the module only in GUI mode, so that headless it maps no GTK at all; every function on
// either side runs on the main thread.
extern "C" {

struct TdShellHost {
    void* agent;
    // The port the agent answers on (the configured one until it listens).
    unsigned (*port)(void* agent);
    // The port the agent listens on; 0 while it does not (what answers there is not the agent).
    unsigned (*listeningPort)(void* agent);
    // Writes the PIN of this moment, NUL-terminated, into `buffer`.
    void (*pin)(void* agent, char* buffer, unsigned size);
    // One lifecycle line for the log (stdout).
    void (*log)(void* agent, const char* line);
    // The menu's "Quit Tapdeck".
    void (*quit)(void* agent);
    // The menu's "Send to Phone…": offers the file at `path` to the paired phones; 0 when it
    // cannot be (it is not a file that can be read).
    int (*offerFile)(void* agent, const char* path);
    // An icon-theme folder holding the "tapdeck" and "tapdeck-symbolic" icons.
    const char* iconFolder;
    // The module with the web view (tapdeck-webview.so), loaded when the panel first opens.
    const char* webViewModule;
};

typedef struct TdShell TdShell;

// Starts GTK and puts the item in the tray; nothing when GTK cannot start (no display).
using TdShellStart = TdShell* (*)(const TdShellHost* host);
// Shows the control panel, made on first use and only raised afterwards.
using TdShellShowPanel = void (*)(TdShell* shell);
// Shows the pairing PIN of this moment.
using TdShellShowPin = void (*)(TdShell* shell);
// Asks which files to offer the paired phones (the menu's "Send to Phone…").
using TdShellSendToPhone = void (*)(TdShell* shell);
// Shows the menu's update entry: "Update available — VERSION →".
using TdShellUpdateAvailable = void (*)(TdShell* shell, const char* version, const char* notes,
                                        const char* url);
// The agent listens (empty `headline`), or its port is held by another program and `headline`
// and `details` say so: the menu and the control panel follow.
using TdShellServerChanged = void (*)(TdShell* shell, const char* headline, const char* details);
// Takes the item out of the tray and destroys every window.
using TdShellStop = void (*)(TdShell* shell);

// The web view module's one function: a view showing `url`, which opens links to other sites
// in the default browser.
using TdWebViewNew = void* (*)(const char* url);
}

namespace td::shell {
inline constexpr const char* START_SYMBOL = "tdShellStart";
inline constexpr const char* SHOW_PANEL_SYMBOL = "tdShellShowPanel";
inline constexpr const char* SHOW_PIN_SYMBOL = "tdShellShowPin";
inline constexpr const char* SEND_TO_PHONE_SYMBOL = "tdShellSendToPhone";
inline constexpr const char* UPDATE_AVAILABLE_SYMBOL = "tdShellUpdateAvailable";
inline constexpr const char* SERVER_CHANGED_SYMBOL = "tdShellServerChanged";
inline constexpr const char* STOP_SYMBOL = "tdShellStop";
inline constexpr const char* WEB_VIEW_NEW_SYMBOL = "tdWebViewNew";
}  // namespace td::shell
