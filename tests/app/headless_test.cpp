// Runs the real agent binary as a user would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "support/loopback_client.hpp"
#include "support/temp_dir.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

class Agent {
  public:
    Agent(std::vector<std::string> args, std::vector<std::string> env) {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        args.insert(args.begin(), TAPDECK_BINARY);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) {
            env.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, TAPDECK_BINARY, &actions, nullptr, argv.data(), envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }

    ~Agent() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // Output read so far, waiting up to `timeout` for a line matching `pattern`.
    std::optional<std::smatch> waitForLine(const std::regex& pattern,
                                           std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            std::smatch match;
            if (std::regex_search(output_, match, pattern)) {
                return match;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char buf[4096];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                return std::nullopt;
            }
            output_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // The exit status after `signal`, or -1 when the process did not end in time.
    int stopWith(int signal, std::chrono::milliseconds timeout = 10s) {
        ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    int waitExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

std::vector<std::string> testEnv(const td::test::TempDir& support) {
    // TD_RESOURCES is left unset: the binary finds public/ and config.json beside itself.
    return {"TD_PORT=0", "TD_SUPPORT=" + support.path().string()};
}

TEST(Headless, ServesUntilAskedToStopThenExitsCleanly) {
    for (int signal : {SIGTERM, SIGINT}) {
        td::test::TempDir support;
        Agent agent({"--headless"}, testEnv(support));
        const auto listening = agent.waitForLine(std::regex("Listening on port (\\d+)"));
        ASSERT_TRUE(listening) << agent.output();
        const auto port = static_cast<std::uint16_t>(std::stoi((*listening)[1]));
        const std::string page = td::test::exchange(port, "GET / HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n")) << page;
        EXPECT_EQ(agent.stopWith(signal), 0) << "signal " << signal;
    }
}

TEST(Headless, PrintsThePinAndAPairingLinkOnceAtStart) {
    td::test::TempDir support;
    Agent agent({"--headless"}, testEnv(support));
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

TEST(Headless, VersionAndHelp) {
    Agent version({"--version"}, {});
    EXPECT_EQ(version.waitExit(), 0);
    EXPECT_TRUE(version.waitForLine(std::regex("^tapdeck \\d+\\.\\d+\\.\\d+\n$")));

    Agent help({"--help"}, {});
    EXPECT_EQ(help.waitExit(), 0);
    EXPECT_TRUE(help.waitForLine(std::regex("--headless")));

    Agent wrong({"--bogus"}, {});
    EXPECT_EQ(wrong.waitExit(), 2);
}

}  // namespace
