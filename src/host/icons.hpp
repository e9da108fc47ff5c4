#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace td::host {

// Applications' icons as 256 × 256 RGBA PNGs, letterboxed. What the lookup needs (GTK's icon
// themes) is loaded at the first request, not at start: an agent that never serves an icon
// never pays for it.
class IconSource {
  public:
    // Runs a task on the thread that owns GTK.
    using GtkThread = std::function<void(std::function<void()>)>;

    // `gtkModule`: the loadable module that holds the icon code. Where the process runs GTK
    // itself (the desktop shell), every lookup goes to `gtkThread` and is waited for there; else
    // lookups run on the caller's thread, one at a time.
    explicit IconSource(std::filesystem::path gtkModule, GtkThread gtkThread = {});
    ~IconSource();
    IconSource(const IconSource&) = delete;
    IconSource& operator=(const IconSource&) = delete;

    // The icon of the first shown application of that name; nothing when the application, its
    // icon or the module is not found.
    std::optional<std::string> png(const std::string& appName);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::host
