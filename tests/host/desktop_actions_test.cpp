// Host actions against a real desktop session (Xvfb, a D-Bus session bus, PulseAudio with a
// null sink), which the test command starts around these tests. Each proves its effect.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <sys/stat.h>

#include <fstream>

#include "common/files.hpp"
#include "host/apps.hpp"
#include "host/icons.hpp"
#include "host/input.hpp"
#include "host/media.hpp"
#include "host/process.hpp"
#include "host/system.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/mock_player.hpp"
#include "support/temp_dir.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path dataHome() {
    return std::getenv("XDG_DATA_HOME");
}

void writeFile(const fs::path& path, const std::string& contents, mode_t mode = 0644) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    ::chmod(path.c_str(), mode);
}

std::string readFile(const fs::path& path) {
    return readWholeFile(path).value_or("");
}

using test::eventually;

// Desktop entries for the tests, written before GIO first reads the folders.
class DesktopApps : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/with-desktop-session.sh";
        writeFile(markerTool(), "#!/bin/sh\necho \"$@\" >> \"" + marker().string() + "\"\n", 0755);
        entry("marker", "Tapdeck Marker", "Exec=" + markerTool().string() + " app");
        entry("zz-marker-twin", "Tapdeck Marker", "Exec=" + markerTool().string() + " twin");
        entry("zeta", "Zeta Tool");
        entry("alpha", "alpha tool");
        entry("nodisplay", "Tapdeck Invisible", "Exec=/bin/true\nNoDisplay=true");
        entry("hidden", "Tapdeck Hidden", "Exec=/bin/true\nHidden=true");
        entry("tryexec", "Tapdeck Uninstalled", "Exec=/bin/true\nTryExec=/no/such/program");
        entry("browser", "Tapdeck Browser",
              "Exec=" + markerTool().string() +
                  " url %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;");
        // The desktop's choices for everyday work (one app for music and video; one choice
        // the launcher does not show).
        entry("files", "Tapdeck Files");
        entry("terminal", "Tapdeck Terminal",
              "Exec=/bin/true\nCategories=System;TerminalEmulator;");
        entry("editor", "Tapdeck Editor");
        entry("mail", "Tapdeck Mail");
        entry("player", "Tapdeck Player");
        entry("pdf", "Tapdeck Pdf");
        writeFile(fs::path(std::getenv("XDG_CONFIG_HOME")) / "mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/http=td-browser.desktop\n"
                  "x-scheme-handler/https=td-browser.desktop\n"
                  "inode/directory=td-files.desktop\ntext/plain=td-editor.desktop\n"
                  "x-scheme-handler/mailto=td-mail.desktop\naudio/mpeg=td-player.desktop\n"
                  "video/mp4=td-player.desktop\nimage/jpeg=td-nodisplay.desktop\n"
                  "application/pdf=td-pdf.desktop\n");
        // A wide bitmap icon by path, and an SVG one from the icon theme.
        GdkPixbuf* wide = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 64, 32);
        gdk_pixbuf_fill(wide, 0xFF0000FF);
        gdk_pixbuf_save(wide, iconFile().c_str(), "png", nullptr, nullptr);
        g_object_unref(wide);
        entry("wide", "Tapdeck Wide Icon", "Exec=/bin/true\nIcon=" + iconFile().string());
        writeFile(dataHome() / "icons/hicolor/index.theme",
                  "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n\n[scalable/apps]\n"
                  "Size=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
        writeFile(dataHome() / "icons/hicolor/scalable/apps/td-round.svg",
                  "<svg xmlns='http://www.w3.org/2000/svg' width='100' height='100'>"
                  "<circle cx='50' cy='50' r='40' fill='#0a0'/></svg>");
        entry("svg", "Tapdeck Svg Icon", "Exec=/bin/true\nIcon=td-round");
    }

    // applications/td-<id>.desktop
    static void entry(const std::string& id, const std::string& name,
                      const std::string& rest = "Exec=/bin/true") {
        writeFile(dataHome() / "applications" / ("td-" + id + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=" + name + "\n" + rest + "\n");
    }
    static fs::path markerTool() { return dataHome() / "td-marker-tool"; }
    static fs::path marker() { return dataHome() / "td-marker.log"; }
    static fs::path iconFile() { return dataHome() / "td-wide.png"; }
};

TEST_F(DesktopApps, TheDesktopsDefaultAppsComeInOrderEachOnceOnlyIfShown) {
    EXPECT_EQ(defaultApps(),
              (std::vector<std::string>{"Tapdeck Browser", "Tapdeck Files", "Tapdeck Terminal",
                                        "Tapdeck Editor", "Tapdeck Mail", "Tapdeck Player",
                                        "Tapdeck Pdf"}));
    EXPECT_EQ(defaultApps(2), (std::vector<std::string>{"Tapdeck Browser", "Tapdeck Files"}));
}

TEST_F(DesktopApps, ListsWhatTheLauncherShowsSortedOnce) {
    const auto apps = listApps();
    auto has = [&](const std::string& name) {
        return std::find(apps.begin(), apps.end(), name) != apps.end();
    };
    EXPECT_TRUE(has("Tapdeck Marker"));
    EXPECT_EQ(std::count(apps.begin(), apps.end(), "Tapdeck Marker"), 1);
    for (std::string hidden : {"Tapdeck Invisible", "Tapdeck Hidden", "Tapdeck Uninstalled"}) {
        EXPECT_FALSE(has(hidden)) << hidden;
    }
    EXPECT_TRUE(std::is_sorted(apps.begin(), apps.end()));
    const auto zeta = std::find(apps.begin(), apps.end(), "Zeta Tool");
    const auto alpha = std::find(apps.begin(), apps.end(), "alpha tool");
    EXPECT_LT(zeta, alpha);  // upper case before lower case
}

TEST_F(DesktopApps, AnAppInstalledLaterIsFound) {
    EXPECT_FALSE(launchApp("Tapdeck Late"));
    entry("late", "Tapdeck Late");
    EXPECT_TRUE(eventually([] { return launchApp("Tapdeck Late"); }));
    const auto apps = listApps();
    EXPECT_NE(std::find(apps.begin(), apps.end(), "Tapdeck Late"), apps.end());
}

TEST_F(DesktopApps, LaunchesTheFirstEntryOfThatName) {
    fs::remove(marker());
    EXPECT_TRUE(launchApp("Tapdeck Marker"));
    // Its twin (listed after it) would have written "twin".
    EXPECT_TRUE(eventually([] { return !readFile(marker()).empty(); }));
    EXPECT_EQ(readFile(marker()), "app\n");
    EXPECT_FALSE(launchApp("No Such App"));
    EXPECT_FALSE(launchApp("Tapdeck Invisible"));
}

TEST_F(DesktopApps, OpensOnlyWebUrlsInTheDefaultHandler) {
    fs::remove(marker());
    EXPECT_TRUE(openURL("HTTPS://example.com/a?b=1"));
    EXPECT_TRUE(
        eventually([] { return readFile(marker()).find("example.com") != std::string::npos; }));
    for (std::string refused : {"mailto:a@b.c", "file:///etc/passwd", "example.com", ""}) {
        EXPECT_FALSE(openURL(refused)) << refused;
    }
}

// Decodes a PNG and checks it is 256 × 256 RGBA; returns the alpha at (x, y).
int alphaAt(const std::string& png, int x, int y) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()), png.size(),
                            nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader);
    EXPECT_TRUE(image);
    int alpha = -1;
    if (image) {
        EXPECT_EQ(gdk_pixbuf_get_width(image), 256);
        EXPECT_EQ(gdk_pixbuf_get_height(image), 256);
        EXPECT_TRUE(gdk_pixbuf_get_has_alpha(image));
        const guchar* pixels = gdk_pixbuf_get_pixels(image);
        alpha = pixels[y * gdk_pixbuf_get_rowstride(image) + x * 4 + 3];
    }
    g_object_unref(loader);
    return alpha;
}

TEST_F(DesktopApps, IconsAre256SquareLetterboxed) {
    IconSource icons(TAPDECK_GTK_MODULE);
    const auto wide = icons.png("Tapdeck Wide Icon");
    ASSERT_TRUE(wide);
    EXPECT_TRUE(wide->starts_with("\x89PNG\r\n\x1a\n"));
    EXPECT_EQ(alphaAt(*wide, 128, 10), 0);     // above the 2:1 picture: transparent
    EXPECT_EQ(alphaAt(*wide, 128, 128), 255);  // the picture itself
    const auto svg = icons.png("Tapdeck Svg Icon");
    ASSERT_TRUE(svg);
    EXPECT_EQ(alphaAt(*svg, 128, 128), 255);
    EXPECT_EQ(alphaAt(*svg, 2, 2), 0);
    EXPECT_FALSE(icons.png("No Such App"));
    EXPECT_FALSE(IconSource("/no/such/module.so").png("Tapdeck Svg Icon"));
}

TEST_F(DesktopApps, IconsAreKeptUntilTheApplicationFoldersChange) {
    IconSource icons(TAPDECK_GTK_MODULE);
    writeFile(dataHome() / "td-kept.png", readFile(iconFile()));
    entry("kept", "Tapdeck Kept", "Exec=/bin/true\nIcon=" + (dataHome() / "td-kept.png").string());
    ASSERT_TRUE(eventually([&] { return icons.png("Tapdeck Kept").has_value(); }));
    fs::remove(dataHome() / "td-kept.png");
    EXPECT_TRUE(icons.png("Tapdeck Kept"));  // drawn once, not again
    fs::remove(dataHome() / "applications/td-kept.desktop");
    EXPECT_TRUE(eventually([&] { return !icons.png("Tapdeck Kept"); }));
}

// A window that records the keys it receives.
class Keyboard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(observer.waitForLine(std::regex("ready\n"))) << observer.output();
    }
    // Waits for `count` key lines after "ready" and returns them.
    std::vector<std::string> keys(std::size_t count) { return observer.linesAfter("ready", count); }
    test::ChildProcess observer{{KEY_OBSERVER}};
    const std::shared_ptr<host::Keyboard> keyboard =
        chooseInput({DesktopSession::x11, {}}).keyboard;
};

TEST_F(Keyboard, GesturesPressTheirCombination) {
    EXPECT_EQ(keyboard->backend(), KeysBackend::xtest);
    EXPECT_TRUE(keyboard->trusted());
    EXPECT_TRUE(runGesture(*keyboard, DesktopKind::gnome, "show_desktop"));  // Super+d
    EXPECT_TRUE(runGesture(*keyboard, DesktopKind::gnome, "minimize", "Ctrl+Alt+t"));
    EXPECT_FALSE(runGesture(*keyboard, DesktopKind::gnome, "SHOW_DESKTOP"));
    // No combination until the user sets one.
    EXPECT_FALSE(runGesture(*keyboard, DesktopKind::gnome, "hide_others"));
    EXPECT_FALSE(runGesture(*keyboard, DesktopKind::gnome, "minimize", "Ctrl+NoSuchKey"));
    const auto lines = keys(5);
    // Super (Mod4 = 64), then d held with it; Ctrl (4), Alt (8), then t with both.
    EXPECT_EQ(lines,
              (std::vector<std::string>{"0 Super_L", "64 d", "0 Control_L", "4 Alt_L", "12 t"}));
}

TEST_F(Keyboard, TypesAnyTextKeepingCaseAndLayout) {
    EXPECT_FALSE(typeText(*keyboard, ""));
    EXPECT_TRUE(typeText(*keyboard, "Hé €\xF0\x9F\x98\x80!\n"));
    const auto lines = keys(9);
    // Characters the layout lacks arrive as their Unicode keysyms on a borrowed key.
    EXPECT_EQ(lines,
              (std::vector<std::string>{"0 Shift_L", "1 H", "0 eacute", "0 space", "0 U20AC",
                                        "0 U0001F600", "0 Shift_L", "1 exclam", "0 Return"}));
}

// Many phones typing at once: each worker asks whether keys can be sent, each opening a display
// of its own at the same moment; Xlib's shared tables survive it.
TEST_F(Keyboard, WorkersAskingAtOnceCrashNothing) {
    std::vector<std::thread> workers;
    std::atomic<int> trusted{0};
    for (int i = 0; i < 32; ++i) {
        workers.emplace_back([this, &trusted] {
            for (int j = 0; j < 10; ++j) {
                trusted += keyboard->trusted();
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(trusted, 320);
}

// A long text stops between characters once the agent stops (a minute of CJK must not hold
// its end), and nothing is typed after that.
TEST_F(Keyboard, TypingStopsWhenAskedTo) {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "\xE6\xBC\xA2";  // a character no layout has: typed on a borrowed key
    }
    const auto started = std::chrono::steady_clock::now();
    std::thread typing([&] { typeText(*keyboard, text); });
    ASSERT_FALSE(keys(1).empty());  // it began
    keyboard->stopTyping();
    typing.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(typeText(*keyboard, "a"));
}

// Combinations by keysym in the layout in use now, also after the user switched it: on AZERTY
// ctrl+z is Control with the key that types "z" (where QWERTY has w).
TEST_F(Keyboard, CombinationsFollowTheLayoutInUse) {
    for (const char* layout : {"fr", "us"}) {
        ASSERT_EQ(runProcess("setxkbmap", {layout}).status, 0) << layout;
        EXPECT_TRUE(pressKeys(*keyboard, "ctrl+z")) << layout;
        EXPECT_TRUE(pressKeys(*keyboard, "Super+Shift+F5")) << layout;
    }
    EXPECT_FALSE(pressKeys(*keyboard, "ctrl+nosuchkey"));
    EXPECT_EQ(keys(10),
              (std::vector<std::string>{"0 Control_L", "4 z", "0 Super_L", "64 Shift_L", "65 F5",
                                        "0 Control_L", "4 z", "0 Super_L", "64 Shift_L", "65 F5"}));
}

// The X pointer moves by exactly what it is sent (fractions carried to the next move), and its
// buttons, a drag and the wheel reach the window under it.
TEST_F(Keyboard, ThePointerMovesByExactlyWhatItIsSentClicksDragsAndScrolls) {
    const auto pointer = chooseInput({DesktopSession::x11, {}}).pointer;
    ASSERT_EQ(pointer->backend(), PointerBackend::xtest);
    using Kind = PointerEvent::Kind;
    const auto move = [](double dx, double dy) { return PointerEvent{Kind::move, dx, dy}; };
    const auto scroll = [](double dx, double dy) { return PointerEvent{Kind::scroll, dx, dy}; };
    const auto button = [](Button which, ButtonAction action) {
        return PointerEvent{Kind::button, 0, 0, which, action};
    };
    ASSERT_TRUE(pointer->apply({move(-5000, -5000)}));  // the corner, wherever it was
    ASSERT_TRUE(pointer->apply({move(100.4, 50), move(0.4, 0.5), move(0.4, 0.5)}));
    ASSERT_TRUE(pointer->apply(
        {button(Button::left, ButtonAction::click), button(Button::right, ButtonAction::click),
         button(Button::middle, ButtonAction::down), button(Button::middle, ButtonAction::up)}));
    ASSERT_TRUE(pointer->apply({button(Button::left, ButtonAction::down), move(10, 0),
                                button(Button::left, ButtonAction::up)}));
    ASSERT_TRUE(pointer->apply(
        {scroll(0, 80), scroll(0, -40), scroll(40, 0), scroll(-20, 0), scroll(-20, 0)}));
    // However far one event scrolls, it turns the wheel a few steps: its work is bounded.
    ASSERT_TRUE(pointer->apply({scroll(0, 10'000), button(Button::middle, ButtonAction::click)}));
    const auto lines = observer.linesAfter("ready", 35);
    std::vector<std::string> presses, motions, expected;
    for (const std::string& line : lines) {
        (line.starts_with("motion") ? motions : presses).push_back(line);
    }
    ASSERT_GE(motions.size(), 2u);
    EXPECT_EQ(motions[motions.size() - 2], "motion 101 51");  // 100.4 + 0.4 + 0.4, 50 + 0.5 + 0.5
    EXPECT_EQ(motions.back(), "motion 111 51");               // the drag
    // Left, right, middle; the drag; 80 down and 40 up (a step is 40), 40 right, 20 + 20 left;
    // then the far scroll's five steps and the middle click.
    for (int button : {1, 3, 2, 1, 5, 5, 4, 7, 6, 5, 5, 5, 5, 5, 2}) {
        for (const char* action : {" press", " release"}) {
            expected.push_back("button " + std::to_string(button) + action);
        }
    }
    EXPECT_EQ(presses, expected);
}

TEST(KeysWithoutDisplay, AreRefused) {
    const std::string display = std::getenv("DISPLAY");
    ::unsetenv("DISPLAY");
    const auto keyboard = chooseInput({DesktopSession::x11, {}}).keyboard;
    EXPECT_FALSE(keyboard->trusted());
    EXPECT_FALSE(runGesture(*keyboard, DesktopKind::gnome, "show_desktop"));
    EXPECT_FALSE(typeText(*keyboard, "x"));
    ::setenv("DISPLAY", display.c_str(), 1);
}

TEST(Media, GoesToTheNamedPlayerElseThePlayingElseTheFirst) {
    EXPECT_FALSE(mediaAction("next"));  // no player at all
    test::MockPlayer paused("tdpaused", "Paused");
    test::MockPlayer playing("tdplaying", "Playing");
    ASSERT_TRUE(paused.ready() && playing.ready());
    paused.setStatus("Paused");
    playing.setStatus("Playing");
    EXPECT_TRUE(mediaAction("next"));
    EXPECT_TRUE(mediaAction("play"));
    EXPECT_TRUE(mediaAction("prev"));
    EXPECT_FALSE(mediaAction("Play"));
    EXPECT_EQ(playing.calls("Next") + playing.calls("PlayPause") + playing.calls("Previous"), 3);
    EXPECT_TRUE(mediaAction("next", paused.busName()));
    EXPECT_FALSE(mediaAction("next", "org.mpris.MediaPlayer2.gone"));
    EXPECT_EQ(paused.calls("Next"), 1);

    playing.quit();
    EXPECT_TRUE(mediaAction("playpause"));
    EXPECT_EQ(paused.calls("PlayPause"), 1);
}

TEST(Clipboard, TextStaysAfterTheCallReturns) {
    for (std::string text : {std::string("h\xC3\xA9llo \xF0\x9F\x9A\x80\nline"), std::string("")}) {
        const auto before = std::chrono::steady_clock::now();
        EXPECT_TRUE(setClipboard(text, DesktopSession::x11));
        EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
        EXPECT_EQ(runProcess("xclip", {"-o", "-selection", "clipboard"}).output, text);
    }
}

TEST(SystemActions, RunTheSessionToolsAndNothingElse) {
    // Stand-ins first on PATH: the test machine is never suspended.
    test::TempDir bin;
    const auto log = bin.path() / "calls.log";
    for (std::string tool : {"systemctl", "xdg-screensaver"}) {
        writeFile(bin.path() / tool,
                  "#!/bin/sh\necho \"" + tool + " $*\" >> " + log.string() + "\n", 0755);
    }
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin.path().string() + ":" + path).c_str(), 1);
    EXPECT_TRUE(systemAction("sleep"));
    EXPECT_TRUE(systemAction("screensaver"));
    EXPECT_FALSE(systemAction("lock"));
    EXPECT_FALSE(systemAction("Sleep"));
    EXPECT_EQ(readFile(log), "systemctl suspend\nxdg-screensaver activate\n");
    ::setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace td::host
