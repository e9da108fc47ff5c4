#pragma once

#include <functional>
#include <memory>
#include <string>

namespace td::host {

// One notification an application showed on the desktop, as it sent it (its body may hold the
// notification markup).
struct DesktopNotification {
    std::string app;  // the name the application gave, or its application id
    std::string summary;
    std::string body;
    std::string sender = {};  // the bus connection that called: one program, whatever name it gives
};

// Watches the applications' notifications on the session bus, on a connection and a thread of
// its own made a monitor of their calls (org.freedesktop.Notifications.Notify, and GLib's
// org.gtk.Notifications.AddNotification): nothing is asked of the notification service, and
// nothing polls. `seen` is called on GDBus's worker thread, once per notification. A bus that
// closes is connected to again after a growing pause.
class NotificationWatch {
  public:
    explicit NotificationWatch(std::function<void(DesktopNotification)> seen);
    ~NotificationWatch();  // stops
    NotificationWatch(const NotificationWatch&) = delete;
    NotificationWatch& operator=(const NotificationWatch&) = delete;

    // Why nothing is watched right now; empty while watching.
    std::string problem() const;
    // Ends watching; `seen` is not called afterwards. Not undone.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::host
