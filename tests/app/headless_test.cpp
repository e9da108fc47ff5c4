// Runs the real agent binary as a user would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "support/agent_process.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"
#include "support/test_tls.hpp"

namespace {

using namespace std::chrono_literals;

using td::test::AgentProcess;

TEST(Headless, ServesUntilAskedToStopThenExitsCleanly) {
    for (int signal : {SIGTERM, SIGINT}) {
        td::test::TempDir support;
        AgentProcess agent(support.path());
        const std::uint16_t port = agent.port();
        ASSERT_NE(port, 0) << agent.output();
        const std::string page = td::test::exchange(port, "GET / HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n")) << page;
        EXPECT_EQ(agent.stopWith(signal), 0) << "signal " << signal;
    }
}

TEST(Headless, PrintsThePinAndAPairingLinkOnceAtStart) {
    td::test::TempDir support;
    AgentProcess agent(support.path());
    const auto banner = agent.waitForLine(std::regex(
        "Pair a phone: PIN (\\d{6}), or open http://[0-9.]+:(\\d+)/\\?pair=([0-9a-f]{16})"));
    ASSERT_TRUE(banner) << agent.output();
    const std::string pin = (*banner)[1];
    const auto port = static_cast<std::uint16_t>(std::stoi((*banner)[2]));
    const std::string code = (*banner)[3];
    const auto state =
        td::Json::parse(std::ifstream(support.path() / "state.json"), nullptr, false);
    EXPECT_EQ(state["pin"], pin);

    // The printed code pairs a phone once.
    const std::string body = R"({"code":")" + code + "\"}";
    const std::string request =
        "POST /api/pair-code HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    EXPECT_TRUE(td::test::exchange(port, request).starts_with("HTTP/1.1 200 OK"));
    EXPECT_TRUE(td::test::exchange(port, request).starts_with("HTTP/1.1 401 ERR"));

    // Nothing secret is printed after the banner.
    EXPECT_EQ(agent.stopWith(SIGTERM), 0);
    agent.waitForLine(std::regex("Stopping"), 2s);
    const std::string& all = agent.output();
    EXPECT_EQ(all.find(pin, all.find(pin) + 1), std::string::npos) << all;
    EXPECT_EQ(all.find(code, all.find(code) + 1), std::string::npos) << all;
}

TEST(Headless, LogsANewerVersionFoundAtStart) {
    td::test::TempDir support;
    td::test::ScriptedServer manifest(
        td::test::ScriptedServer::Behaviour::reply,
        td::test::httpReply(200, R"({"version":"9.9.9","url":"https://tapdeck.app/get"})"));
    AgentProcess agent(
        support.path(), {"--headless"},
        {"TD_UPDATE_URL=http://127.0.0.1:" + std::to_string(manifest.port()) + "/latest.json"});
    EXPECT_TRUE(agent.waitForLine(std::regex(
        "Update available \xE2\x80\x94 9\\.9\\.9 \xE2\x86\x92 https://tapdeck.app/get\n")))
        << agent.output();
    EXPECT_EQ(agent.stopWith(SIGTERM), 0);
}

TEST(Headless, VersionAndHelp) {
    td::test::TempDir support;
    AgentProcess version(support.path(), {"--version"});
    EXPECT_EQ(version.waitExit(), 0);
    EXPECT_TRUE(version.waitForLine(std::regex("^tapdeck \\d+\\.\\d+\\.\\d+\n$")));

    AgentProcess help(support.path(), {"--help"});
    EXPECT_EQ(help.waitExit(), 0);
    EXPECT_TRUE(help.waitForLine(std::regex("--headless")));

    AgentProcess wrong(support.path(), {"--bogus"});
    EXPECT_EQ(wrong.waitExit(), 2);
}

// Another user who can write the support folder could replace the PIN and the tokens; one
// who can write the Shortcuts folder could have the owner's phone run their program.
TEST(Headless, RefusesToStartOnASupportFolderOthersCanWrite) {
    td::test::TempDir support;
    const auto shortcuts = support.path() / "shortcuts";
    std::filesystem::create_directory(shortcuts);
    for (const auto& [open, kept] :
         {std::pair{support.path(), shortcuts}, std::pair{shortcuts, support.path()}}) {
        ::chmod(open.c_str(), 0777);
        ::chmod(kept.c_str(), 0755);
        AgentProcess agent(support.path());
        EXPECT_EQ(agent.waitExit(), 1);
        EXPECT_EQ(agent.output().find("Listening"), std::string::npos);
    }
    ::chmod(shortcuts.c_str(), 0755);
    AgentProcess fine(support.path());
    EXPECT_NE(fine.port(), 0);
}

// Another user who takes the port first would get the phones' tokens: the agent says so, naming
// that user, instead of only that it runs without its server.
TEST(Headless, SaysWhoHoldsItsPortWhenAnotherUserDoes) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to listen as another user";
    }
    td::test::ChildProcess squatter(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
         "import signal, socket\n"
         "s = socket.socket(socket.AF_INET6)\n"
         "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
         "s.bind(('::', 0)); s.listen()\n"
         "print('port', s.getsockname()[1], flush=True); signal.pause()"});
    const auto held = squatter.waitForLine(std::regex("port (\\d+)\n"));
    ASSERT_TRUE(held) << squatter.output();
    td::test::TempDir support;
    AgentProcess agent(support.path(), {"--headless"}, {"TD_PORT=" + (*held)[1].str()});
    EXPECT_TRUE(agent.waitForLine(std::regex("Could not listen on port " + (*held)[1].str() +
                                             ".*held by another user \\(uid 65534\\).*token"),
                                  30s))
        << agent.output();
}

}  // namespace
