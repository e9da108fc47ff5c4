// The control panel's web view in this process: the agent's own pages stay in it, and a page
// that goes anywhere else sends that address to the default browser instead.
#include <gmodule.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell/shell_abi.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace {

// A default browser of the test's own, which writes down every address it is asked to open; set
// up in folders of this test's own, before GLib reads where they are, so no other test sees it.
std::filesystem::path installFakeBrowser(const std::filesystem::path& work) {
    g_setenv("XDG_DATA_HOME", (work / "data").c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (work / "config").c_str(), TRUE);
    const auto opened = work / "opened.txt";
    const auto script = work / "fake-browser.sh";
    std::ofstream(script) << "#!/bin/sh\necho \"$1\" >> '" << opened.string() << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const std::filesystem::path apps =
        std::filesystem::path(g_get_user_data_dir()) / "applications";
    std::filesystem::create_directories(apps);
    std::ofstream(apps / "tapdeck-test-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" << script.string()
        << " %u\nMimeType=x-scheme-handler/https;\n";
    const std::filesystem::path config = g_get_user_config_dir();
    std::filesystem::create_directories(config);
    std::ofstream(config / "mimeapps.list")
        << "[Default Applications]\nx-scheme-handler/https=tapdeck-test-browser.desktop\n";
    return opened;
}

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(WebView, KeepsTheAgentsPagesAndSendsOtherSitesToTheBrowser) {
    td::test::TempDir work;
    const auto opened = installFakeBrowser(work.path());
    // The page goes to another site at once.
    td::test::ScriptedServer agent(td::test::ScriptedServer::Behaviour::reply,
                                   td::test::httpReply(200,
                                                       "<html><body><script>"
                                                       "location.href = 'https://example.org/away';"
                                                       "</script></body></html>",
                                                       "text/html"));
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    GModule* module = g_module_open(TAPDECK_WEBVIEW_MODULE, G_MODULE_BIND_LOCAL);
    ASSERT_NE(module, nullptr) << g_module_error();
    gpointer symbol = nullptr;
    ASSERT_TRUE(g_module_symbol(module, td::shell::WEB_VIEW_NEW_SYMBOL, &symbol));
    const std::string page = "http://127.0.0.1:" + std::to_string(agent.port()) + "/admin";
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    auto* view = static_cast<GtkWidget*>(reinterpret_cast<TdWebViewNew>(symbol)(page.c_str()));
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_widget_show_all(window);

    const gint64 deadline = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
    auto sentToTheBrowser = [&] {
        return contentsOf(opened).find("https://example.org/away") != std::string::npos;
    };
    while (!sentToTheBrowser() && g_get_monotonic_time() < deadline) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(10'000);
    }
    EXPECT_TRUE(sentToTheBrowser()) << contentsOf(opened);
    gchar* shown = nullptr;
    g_object_get(view, "uri", &shown, nullptr);  // the view's property: no WebKit header needed
    EXPECT_STREQ(shown, page.c_str());           // the panel stayed on the agent's page
    g_free(shown);
    EXPECT_EQ(agent.requests().size(), 1u);  // the page itself, nothing more
    gtk_widget_destroy(window);
}

}  // namespace
