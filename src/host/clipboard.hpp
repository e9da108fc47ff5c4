#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/settings.hpp"
#include "host/following.hpp"

namespace td::host {

// The most text the clipboard hands a phone: a document pasted whole, not a disk image.
inline constexpr std::size_t MAX_CLIPBOARD_TEXT = 1024 * 1024;

struct ClipboardText {
    std::optional<std::string> text;  // nothing when the clipboard holds no text
    bool tooLarge = false;            // it holds more than MAX_CLIPBOARD_TEXT bytes of text
};

// The clipboard's text now, as UTF-8. Nothing when the desktop's clipboard tool is missing or
// the program holding the clipboard does not hand it over within a few seconds.
std::optional<ClipboardText> readClipboard(DesktopSession session);

using ClipboardFollowing = Following;

// Follows the desktop's clipboard as it changes, on a thread of its own, without polling: X11
// through XFixes selection events, wlroots compositors (and KWin) through wl-paste's watch mode
// of their data-control protocol. `changed` is called on that thread, at each change of owner
// or content; a desktop with neither is reported, and tried again with a growing pause.
class ClipboardWatch {
  public:
    ClipboardWatch(DesktopSession session, DesktopKind desktop, std::function<void()> changed);
    ~ClipboardWatch();  // stops
    ClipboardWatch(const ClipboardWatch&) = delete;
    ClipboardWatch& operator=(const ClipboardWatch&) = delete;

    ClipboardFollowing following() const;
    // Ends following; `changed` is not called afterwards. Not undone.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace td::host
