// The clipboard of a private X server, followed and read as the phones' tile does.
#include "host/clipboard.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "host/process.hpp"
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

}  // namespace
}  // namespace td::host
