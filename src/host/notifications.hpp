#pragma once

#include <functional>
#include <memory>
#include <string>

namespace td::host {

// Desktop notifications through the session's notification service: one that names a folder
// opens it when clicked. Made on the thread whose main loop hears the clicks (the main thread);
// `show` from any thread. Without a session bus it shows nothing.
class Notifier {
  public:
    using OpenFolder = std::function<void(const std::string& folder)>;
    // `open`: how a clicked notification's folder is opened (the desktop's file manager).
    explicit Notifier(OpenFolder open = openInFileManager);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // False when no notification service took it.
    bool show(const std::string& summary, const std::string& body, const std::string& folder = {});

    static void openInFileManager(const std::string& folder);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::host
