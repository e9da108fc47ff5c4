#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "common/settings.hpp"
#include "host/clipboard.hpp"
#include "host/focus_watch.hpp"
#include "host/notification_watch.hpp"

namespace td::bridge {

// The notifications phones hear: those of the allowed apps, while they are switched on.
struct NotificationChoice {
    bool on = false;
    std::set<std::string> apps;  // by the name each app gives
};
// From the configuration's `settings.notifications` and `settings.notificationApps`: off, and
// no app, where they are missing or of the wrong type.
NotificationChoice notificationChoiceIn(const Json& config);

// The computer talking back to its phones: it follows the clipboard, the app in front and the
// applications' notifications, and tells the phones' event streams, through `tell`, what
// changed. A burst is bounded: the clipboard's changes go out at most every CLIPBOARD_SPACING
// and the app in front at most every FOCUS_SPACING (the last of a burst always), and each
// program's notifications through a bucket, as do all programs' together.
class Bridge {
  public:
    static constexpr std::chrono::milliseconds CLIPBOARD_SPACING{100};
    static constexpr std::chrono::milliseconds FOCUS_SPACING{50};
    static constexpr std::size_t MAX_RECENT_APPS = 8;
    static constexpr std::size_t MAX_APPS_SEEN = 32;

    struct Links {
        DesktopSession session = DesktopSession::none;
        DesktopKind desktop = DesktopKind::other;
        // Sends one event-stream message to paired phones (and this computer); any thread.
        std::function<void(std::string message)> tell;
        // Runs a task after a delay, on a thread that may wait for nothing.
        std::function<void(std::chrono::milliseconds, std::function<void()>)> runLater;
        // Whether to follow the clipboard and the app in front (tests of other parts do not).
        bool followDesktop = true;
    };

    explicit Bridge(Links links);
    ~Bridge();  // stops
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Starts or stops watching notifications as the configuration says. Any thread.
    void reconfigure(const Json& config);
    void stop();

    // When the clipboard last changed (ms since the epoch), and how following it goes.
    std::int64_t clipboardChangedAt() const;
    host::ClipboardFollowing clipboardFollowing() const;
    // Called at each change of the clipboard (the watch calls it; tests too).
    void clipboardChanged();

    // The app in front now (nothing when no window has the focus, or it is not followed), the
    // apps that were lately (newest first, never Tapdeck's own windows), and how following goes.
    std::optional<std::string> focusedApp() const;
    std::vector<std::string> recentApps() const;
    host::FocusFollowing focusFollowing() const;
    // Called when another app comes to the front (the watch calls it; tests too).
    void focusChanged(const std::optional<std::string>& app);

    // A notification from an application: told when switched on and its app allowed, and the
    // app remembered as seen either way (while switched on).
    void notificationSeen(const host::DesktopNotification& notification);
    // One from this computer's own scripts (`tapdeck notify`): told whatever the choice.
    void notify(const std::string& summary, const std::string& body);
    // The apps seen since the agent started, while notifications were on; in the order seen.
    std::vector<std::string> appsSeen() const;
    // Why notifications are not watched while switched on; empty when they are, or are off.
    std::string notificationProblem() const;

  private:
    // When a burst of changes is told: its first at once, then the state at the end of each
    // spacing, until one passes without a change.
    struct Pace {
        std::chrono::steady_clock::time_point told;
        bool pending = false;
    };
    void paced(Pace Bridge::*pace, std::chrono::milliseconds spacing, void (Bridge::*tell)());
    void tellClipboard();
    void tellFocus();
    void tellNotification(const std::string& app, const std::string& summary,
                          const std::string& body);
    // Whether a notification of this caller (a program's bus connection), giving this app's
    // name, is told now.
    bool withinRate(const std::string& caller, const std::string& app);

    const Links links_;
    mutable std::mutex mutex_;
    NotificationChoice choice_;                       // guarded by mutex_
    std::unique_ptr<host::NotificationWatch> watch_;  // guarded by mutex_
    std::vector<std::string> appsSeen_;               // guarded by mutex_
    std::int64_t clipboardChangedAt_ = 0;             // guarded by mutex_
    Pace clipboardPace_;                              // guarded by mutex_
    std::optional<std::string> focused_;              // guarded by mutex_
    std::vector<std::string> recentApps_;             // guarded by mutex_
    Pace focusPace_;                                  // guarded by mutex_
    struct Bucket {
        double tokens = 0;
        std::chrono::steady_clock::time_point filled;
    };
    std::map<std::string, Bucket> perCaller_;  // guarded by mutex_
    std::map<std::string, Bucket> perApp_;     // guarded by mutex_
    Bucket allApps_;                           // guarded by mutex_
    bool stopped_ = false;                     // guarded by mutex_
    // Last: they call back into the members above from their own threads as soon as they start.
    std::unique_ptr<host::ClipboardWatch> clipboard_;
    std::unique_ptr<host::FocusWatch> focus_;
};

}  // namespace td::bridge
