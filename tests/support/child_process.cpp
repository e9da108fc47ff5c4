#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

extern char** environ;

namespace td::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    // Killed with the test if the test dies first (a time-out kills it): no agent outlives it.
    std::vector<std::string> guarded{"setpriv", "--pdeathsig", "KILL", "--"};
    guarded.insert(guarded.end(), argv.begin(), argv.end());
    argv = std::move(guarded);
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    for (char** e = environ; *e; ++e) {
        extraEnv.emplace_back(*e);  // later entries lose to the earlier ones
    }
    std::vector<char*> envp;
    for (auto& e : extraEnv) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
}

std::optional<std::smatch> ChildProcess::waitForLine(const std::regex& pattern,
                                                     std::chrono::milliseconds timeout) {
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
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> ChildProcess::linesAfter(const std::string& marker, std::size_t count,
                                                  std::chrono::milliseconds timeout) {
    waitForLine(std::regex(marker + "\n(?:[^\n]*\n){" + std::to_string(count) + "}"), timeout);
    std::vector<std::string> lines;
    const std::size_t at = output_.find(marker + "\n");
    if (at == std::string::npos) {
        return lines;
    }
    std::stringstream after(output_.substr(at + marker.size() + 1));
    for (std::string line; std::getline(after, line);) {
        lines.push_back(line);
    }
    return lines;
}

int ChildProcess::stopWith(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, signal);
    return waitExit(timeout);
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

}  // namespace td::test
