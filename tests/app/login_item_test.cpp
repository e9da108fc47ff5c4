#include "app/login_item.hpp"

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.hpp"

namespace td::app {
namespace {

// The desktop reads the entry with GIO: whatever the binary's path holds, GIO must find that
// very binary again.
TEST(LoginItem, TheDesktopFindsTheRunningBinaryAndAUsersOffSwitchIsKept) {
    test::TempDir dir;
    const auto file = dir.path() / "autostart" / "tapdeck.desktop";
    for (const std::string folder :
         {"plain", "with space", "quote \" and ' tick `", "dollar $HOME", "back\\slash"}) {
        SCOPED_TRACE(folder);
        const auto binary = dir.path() / folder / "tapdeck";
        std::filesystem::create_directories(binary.parent_path());
        std::ofstream(binary) << "#!/bin/sh\n";
        std::filesystem::permissions(binary, std::filesystem::perms::owner_all);
        std::string why;
        ASSERT_TRUE(registerLoginItem(file, binary, "tapdeck", why)) << why;
        GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(file.c_str());
        ASSERT_NE(info, nullptr);
        // Quoting undone as at launch: the command line, split by the shell's rules.
        gchar** argv = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(g_app_info_get_commandline(G_APP_INFO(info)), nullptr, &argv,
                                       nullptr));
        EXPECT_EQ(std::string(argv[0]), binary.string());
        EXPECT_EQ(argv[1], nullptr);
        g_strfreev(argv);
        EXPECT_TRUE(g_desktop_app_info_get_boolean(info, "X-GNOME-Autostart-enabled"));
        g_object_unref(info);
    }

    const std::string switchedOff =
        "[Desktop Entry]\nType=Application\nExec=/old/tapdeck\nX-GNOME-Autostart-enabled=false\n";
    std::ofstream(file) << switchedOff;
    std::string why;
    EXPECT_TRUE(registerLoginItem(file, "/new/tapdeck", "tapdeck", why));
    std::ifstream kept(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), switchedOff);
}

}  // namespace
}  // namespace td::app

namespace {

TEST(SendToPhone, FileManagersGetEntriesNamingTheBinaryAndAnEditedOneIsKept) {
    td::test::TempDir data;
    const std::filesystem::path binary = "/opt/my apps/tapdeck";
    EXPECT_TRUE(td::app::offerSendToPhone(data.path(), binary).empty());
    const auto script = data.path() / "nautilus/scripts/Send to Phone";
    const auto dolphin = data.path() / "kio/servicemenus/tapdeck-send.desktop";
    const auto thunar = data.path() / "Thunar/sendto/tapdeck-send.desktop";
    const auto text = [](const std::filesystem::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_NE(text(script).find("exec '/opt/my apps/tapdeck' send \"$@\""), std::string::npos);
    EXPECT_NE(text(dolphin).find("Exec=\"/opt/my apps/tapdeck\" send %F"), std::string::npos);
    EXPECT_NE(text(thunar).find("Exec=\"/opt/my apps/tapdeck\" send %F"), std::string::npos);
    EXPECT_TRUE((std::filesystem::status(script).permissions() &
                 std::filesystem::perms::owner_exec) != std::filesystem::perms::none);

    std::ofstream(thunar) << "[Desktop Entry]\nName=Mine\n";
    EXPECT_TRUE(td::app::offerSendToPhone(data.path(), "/usr/bin/tapdeck").empty());
    EXPECT_EQ(text(thunar), "[Desktop Entry]\nName=Mine\n") << "the user's own is kept";
    EXPECT_NE(text(script).find("'/usr/bin/tapdeck'"), std::string::npos)
        << "ours follows the binary";
}

}  // namespace
