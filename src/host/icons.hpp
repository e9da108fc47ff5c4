#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace td::host {

// Applications' icons as 256 × 256 RGBA PNGs, letterboxed. What the lookup needs (GTK's icon
// themes) is loaded at the first request, not at start: an agent that never serves an icon
// never pays for it.
class IconSource {
  public:
    // `gtkModule`: the loadable module that holds the icon code.
    explicit IconSource(std::filesystem::path gtkModule);
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
