#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/utf8.hpp"
#include "host/process.hpp"

extern char** environ;

namespace td::host {
namespace {

// The arguments as spawn wants them: the tool's own name first.
std::vector<char*> argvFor(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// The agent's environment with the overrides put first, where lookups find them.
std::vector<std::string> environmentWith(const EnvironmentOverrides& overrides) {
    std::vector<std::string> entries(overrides.begin(), overrides.end());
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& o : overrides) {
            replaced = replaced || o.substr(0, o.find('=')) == name;
        }
        if (!replaced) {
            entries.push_back(text);
        }
    }
    return entries;
}

int exitStatusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return exitStatusOf(status);
}

int spawn(pid_t& pid, const std::string& path, const std::vector<std::string>& args,
          const posix_spawn_file_actions_t* actions, char* const* envp) {
    const auto argv = argvFor(path, args);
    return path.find('/') == std::string::npos
               ? ::posix_spawnp(&pid, path.c_str(), actions, nullptr, argv.data(), envp)
               : ::posix_spawn(&pid, path.c_str(), actions, nullptr, argv.data(), envp);
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const EnvironmentOverrides& environment) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {-1, std::strerror(errno)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);

    auto env = environmentWith(environment);
    std::vector<char*> envp;
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int error = spawn(pid, path, args, &actions, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        return {-1, "cannot start " + path + ": " + std::strerror(error)};
    }
    std::string output;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    const int status = waitFor(pid);
    if (!isValidUtf8(output)) {
        output.clear();
    }
    return {status, std::move(output)};
}

bool startDetached(const std::string& path, const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = spawn(pid, path, args, &actions, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return false;
    }
    std::thread([pid] { waitFor(pid); }).detach();
    return true;
}

bool runWithInput(const std::string& path, const std::vector<std::string>& args,
                  const std::string& input) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = spawn(pid, path, args, &actions, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[0]);
    if (error != 0) {
        ::close(pipeFds[1]);
        return false;
    }
    std::string_view rest = input;
    while (!rest.empty()) {
        const ssize_t n = ::write(pipeFds[1], rest.data(), rest.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(pipeFds[1]);
    return waitFor(pid) == 0;
}

}  // namespace td::host
