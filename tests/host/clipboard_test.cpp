// The clipboard of a private X server, followed and read as the phones' tile does.
#include "host/clipboard.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "host/focus_watch.hpp"
#include "host/process.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"

namespace td::host {
namespace {

bool copy(const std::string& text, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"-selection", "clipboard"});
    return runWithInput("xclip", options, text);
}

TEST(Clipboard, X11ChangesAreHeardAndTheTextReadUpToItsBound) {
    std::atomic<int> changes = 0;
    ClipboardWatch watch(DesktopSession::x11, DesktopKind::other, [&] { ++changes; });
    ASSERT_TRUE(test::eventually([&] { return watch.following().following; }))
        << watch.following().reason;

    ASSERT_TRUE(copy("pässword 🔑"));
    ASSERT_TRUE(test::eventually([&] { return changes >= 1; }));
    auto read = readClipboard(DesktopSession::x11);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->text, "pässword 🔑");

    const int before = changes;
    ASSERT_TRUE(copy(std::string(MAX_CLIPBOARD_TEXT + 1, 'a')));
    ASSERT_TRUE(test::eventually([&] { return changes > before; }));
    read = readClipboard(DesktopSession::x11);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->tooLarge);
    EXPECT_FALSE(read->text);

    // This owner serves one read, then goes away, which empties the clipboard: that is a
    // change too, and then no text is read.
    const int beforeLast = changes;
    ASSERT_TRUE(copy(std::string(MAX_CLIPBOARD_TEXT, 'b'), {"-loops", "1"}));
    ASSERT_TRUE(test::eventually([&] { return changes > beforeLast; }));
    read = readClipboard(DesktopSession::x11);
    ASSERT_TRUE(read && read->text);
    EXPECT_EQ(read->text->size(), MAX_CLIPBOARD_TEXT);
    ASSERT_TRUE(test::eventually([&] { return changes > beforeLast + 1; }));
    read = readClipboard(DesktopSession::x11);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->text);

    watch.stop();
    const int stopped = changes;
    ASSERT_TRUE(copy("after"));
    EXPECT_EQ(changes, stopped);
}

TEST(Clipboard, AnOwnerThatNeverHandsItOverCostsAReadSecondsNotAThread) {
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const xcb_window_t window = xcb_generate_id(x);
    xcb_create_window(x, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    auto* atom = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 9, "CLIPBOARD"), nullptr);
    xcb_set_selection_owner(x, window, atom->atom, XCB_CURRENT_TIME);
    std::free(atom);
    xcb_flush(x);  // and never reads a request for it

    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(readClipboard(DesktopSession::x11));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    xcb_disconnect(x);
}

TEST(Clipboard, FollowersOutliveAnXServerThatGoesAway) {
    auto server = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp"});
    const auto number = server->waitForLine(std::regex("^([0-9]+)\n"));
    ASSERT_TRUE(number) << server->output();
    const std::string display = ":" + (*number)[1].str();
    const std::string ours = std::getenv("DISPLAY");
    ::setenv("DISPLAY", display.c_str(), 1);
    ClipboardWatch clipboard(DesktopSession::x11, DesktopKind::other, [] {});
    FocusWatch focus(DesktopSession::x11, DesktopKind::other, [](const auto&) {});
    ASSERT_TRUE(test::eventually(
        [&] { return clipboard.following().following && focus.following().following; }));
    ::setenv("DISPLAY", ours.c_str(), 1);  // once both have connected
    server.reset();                        // killed: this process goes on
    EXPECT_TRUE(test::eventually(
        [&] { return !clipboard.following().following && !focus.following().following; }));
    EXPECT_EQ(clipboard.following().reason, "The connection to the X server ended.");
    // An X server back on the same display is followed again at the first try, a few seconds on.
    server = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"Xvfb", display, "-nolisten", "tcp"});
    EXPECT_TRUE(test::eventually(
        [&] { return clipboard.following().following && focus.following().following; },
        std::chrono::seconds(30)));
}

}  // namespace
}  // namespace td::host
