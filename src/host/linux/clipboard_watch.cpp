#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <optional>

#include "common/log.hpp"
#include "common/utf8.hpp"
#include "host/clipboard.hpp"
#include "host/linux/follower.hpp"
#include "host/linux/glib_ptr.hpp"
#include "host/linux/xlib_connections.hpp"
#include "host/process.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;
// A clipboard's owner has this long to hand its text over: one that never answers must not
// hold a request's thread.
constexpr auto READ_LIMIT = 3s;
constexpr std::size_t MAX_REASON = 200;

// What a tool said on its way out, fit for a report: its last line, printable ASCII only.
std::string lastLineOf(const std::string& errors) {
    std::string_view text = errors;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    if (const auto newline = text.rfind('\n'); newline != std::string_view::npos) {
        text.remove_prefix(newline + 1);
    }
    std::string line(text.substr(0, MAX_REASON));
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            c = '?';
        }
    }
    return line;
}

}  // namespace

std::optional<ClipboardText> readClipboard(DesktopSession session) {
    BoundedOutput read;
    if (session == DesktopSession::x11) {
        read = runForOutput("xclip", {"-selection", "clipboard", "-o", "-t", "UTF8_STRING"},
                            MAX_CLIPBOARD_TEXT, READ_LIMIT);
    } else if (session == DesktopSession::wayland) {
        read = runForOutput("wl-paste", {"--no-newline", "--type", "text"}, MAX_CLIPBOARD_TEXT,
                            READ_LIMIT);
    } else {
        return std::nullopt;
    }
    if (read.overflowed) {
        return ClipboardText{std::nullopt, true};
    }
    if (read.status < 0 || read.timedOut) {
        return std::nullopt;
    }
    // Both tools fail when the clipboard is empty or offers no text.
    if (read.status != 0 || !isValidUtf8(read.output)) {
        return ClipboardText{};
    }
    return ClipboardText{std::move(read.output), false};
}

struct ClipboardWatch::Impl {
    Impl(DesktopSession s, DesktopKind d, std::function<void()> c)
        : session(s), desktop(d), changed(std::move(c)) {}

    // Each returns when its way of following ends, or on stop.
    void followX11(const Follower& follower);
    void followWayland(const Follower& follower);
    void report(Following now) { status.report(std::move(now)); }
    void tell(const Follower& follower) {
        if (!follower.stopped()) {
            changed();
        }
    }

    const DesktopSession session;
    const DesktopKind desktop;
    const std::function<void()> changed;
    FollowingReport status{"the clipboard"};
    std::unique_ptr<Follower> follower;
};

void ClipboardWatch::Impl::followX11(const Follower& follower) {
    // xcb, not Xlib: an X server that goes away is an error xcb hands back, where Xlib's
    // handler would end the whole agent.
    xcb_connection_t* x = connectToX();
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return report({false, "XFixes", "Tapdeck cannot reach the X server.",
                       "Start Tapdeck from your desktop session."});
    }
    std::optional<Follower::ShutDownOnStop> interruptible(std::in_place, follower,
                                                          xcb_get_file_descriptor(x));
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(x, &xcb_xfixes_id);
    auto* version = xfixes && xfixes->present ? xcb_xfixes_query_version_reply(
                                                    x, xcb_xfixes_query_version(x, 1, 0), nullptr)
                                              : nullptr;
    if (!version) {
        interruptible.reset();
        xcb_disconnect(x);
        return report({false, "XFixes", "The X server lacks the XFixes extension.",
                       "Use an X server with XFixes (every current one has it)."});
    }
    std::free(version);
    auto* atom = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 9, "CLIPBOARD"), nullptr);
    const xcb_atom_t clipboard = atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(atom);
    xcb_xfixes_select_selection_input(x, xcb_setup_roots_iterator(xcb_get_setup(x)).data->root,
                                      clipboard,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_flush(x);
    report({true, "XFixes", "", ""});
    const std::uint8_t selectionNotify = xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
    while (!follower.stopped() && !xcb_connection_has_error(x)) {
        bool seen = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            seen = seen || (event->response_type & 0x7f) == selectionNotify;
            std::free(event);
        }
        if (seen) {
            tell(follower);
        }
        pollfd ready[] = {{xcb_get_file_descriptor(x), POLLIN, 0}, {follower.wake(), POLLIN, 0}};
        if ((::poll(ready, 2, -1) < 0 && errno != EINTR) || ready[1].revents) {
            break;
        }
    }
    if (!follower.stopped()) {
        report({false, "XFixes", "The connection to the X server ended.",
                "Start Tapdeck again from your desktop session."});
    }
    interruptible.reset();
    xcb_disconnect(x);
}

void ClipboardWatch::Impl::followWayland(const Follower& follower) {
    // wl-paste runs `echo` at each change, handing it the new content, which echo never reads:
    // a line for each change, whatever its size.
    const glib::Chars tool(g_find_program_in_path("wl-paste"));
    const auto child =
        tool ? startWatched(tool.get(), {"--watch", "echo"}) : std::optional<WatchedChild>();
    if (!child) {
        return report(
            {false, "wl-paste --watch", "wl-paste is not installed.", "Install wl-clipboard."});
    }
    report({true, "wl-paste --watch", "", ""});
    std::string errors;
    bool ended = false;
    while (!follower.stopped() && !ended) {
        pollfd ready[] = {{child->output, POLLIN, 0},
                          {child->errors, POLLIN, 0},
                          {follower.wake(), POLLIN, 0},
                          {child->exited, POLLIN, 0}};
        if (::poll(ready, child->exited >= 0 ? 4 : 3, -1) < 0 && errno != EINTR) {
            break;
        }
        if (ready[2].revents) {
            break;
        }
        char buffer[4096];
        if (ready[0].revents) {
            const ssize_t n = ::read(child->output, buffer, sizeof buffer);
            if (n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)).find('\n') !=
                             std::string_view::npos) {
                tell(follower);
            }
            ended = ended || n == 0;
        }
        if (ready[1].revents) {
            const ssize_t n = ::read(child->errors, buffer, sizeof buffer);
            if (n > 0) {
                errors.append(buffer, static_cast<std::size_t>(n));
                if (errors.size() > 4 * MAX_REASON) {
                    errors.erase(0, errors.size() - 2 * MAX_REASON);
                }
            }
            ended = ended || n == 0;
        }
        ended = ended || (ready[3].revents != 0);
    }
    const int status = stopWatched(child->pid);
    for (const int fd : {child->output, child->errors, child->exited}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (follower.stopped()) {
        return;
    }
    const std::string said = lastLineOf(errors);
    report({false, "wl-paste --watch",
            "wl-paste stopped (status " + std::to_string(status) + ")" +
                (said.empty() ? "." : ": " + said),
            desktop == DesktopKind::gnome
                ? "GNOME on Wayland lets no program follow the clipboard; choose \"GNOME on "
                  "Xorg\" when you log in to follow it."
                : "Use a compositor with the wlr data-control protocol (sway, Hyprland, "
                  "KDE Plasma)."});
}

ClipboardWatch::ClipboardWatch(DesktopSession session, DesktopKind desktop,
                               std::function<void()> changed)
    : impl_(std::make_unique<Impl>(session, desktop, std::move(changed))) {
    Impl* impl = impl_.get();
    impl_->follower = followDesktop(
        "td-clipboard", session, impl_->status,
        [impl](const Follower& follower) { impl->followX11(follower); },
        [impl](const Follower& follower) { impl->followWayland(follower); });
}

ClipboardWatch::~ClipboardWatch() {
    stop();
}

void ClipboardWatch::stop() {
    if (impl_->follower) {
        impl_->follower->stop();
    }
}

ClipboardFollowing ClipboardWatch::following() const {
    return impl_->status.now();
}

}  // namespace td::host
