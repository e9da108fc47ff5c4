#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "common/log.hpp"
#include "common/utf8.hpp"
#include "host/process.hpp"

extern char** environ;

namespace td::host {
namespace {

using Clock = std::chrono::steady_clock;

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

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// The tool and everything it started share a process group of their own, so that a tool past
// its time is killed together with its children.
void killGroup(pid_t pid) {
    ::kill(-pid, SIGKILL);
}

// Waits for the tool's exit until the deadline, then kills it. Polls: a tool that has closed
// its output is nearly always gone by the first or second look.
int waitUntil(pid_t pid, Clock::time_point deadline, bool& timedOut) {
    auto pause = std::chrono::microseconds(200);
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return exitStatusOf(status);
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            timedOut = true;
            killGroup(pid);
            return waitFor(pid);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(20));
    }
}

// A child starts clean: none of the agent's descriptors (the listening socket and clients'
// connections would outlive the agent in it), no blocked signals and default dispositions
// (the agent ignores SIGPIPE; a tool must not).
class SpawnSetup {
  public:
    enum class Group { own, agents };

    explicit SpawnSetup(Group group = Group::own) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (group == Group::own) {
            flags |= POSIX_SPAWN_SETPGROUP;
            posix_spawnattr_setpgroup(&attributes_, 0);
        }
        posix_spawnattr_setflags(&attributes_, flags);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes_, &signals);
        sigfillset(&signals);
        sigdelset(&signals, SIGKILL);
        sigdelset(&signals, SIGSTOP);
        posix_spawnattr_setsigdefault(&attributes_, &signals);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void openOn(int fd, const char* path, int flags) {
        posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0);
    }
    void duplicateOnto(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }

    // 0, or the errno of the failure. Runs the file actions, then closes every descriptor
    // above standard error.
    int spawn(pid_t& pid, const std::string& path, const std::vector<std::string>& args,
              char* const* envp) {
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        const auto argv = argvFor(path, args);
        // A script written a moment ago is "busy" while any process still holds it open for
        // writing: a child another thread forked in the meantime keeps the writer's descriptor
        // until its own exec. That passes within milliseconds, so it is waited out, briefly.
        auto pause = std::chrono::milliseconds(1);
        for (int attempt = 0;; ++attempt) {
            const int error = spawnOnce(pid, path, argv, envp);
            if (error != ETXTBSY || attempt == BUSY_ATTEMPTS) {
                return error;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(100));
        }
    }

  private:
    static constexpr int BUSY_ATTEMPTS = 12;  // 0.6 s of pauses in all

    int spawnOnce(pid_t& pid, const std::string& path, const std::vector<char*>& argv,
                  char* const* envp) {
        return path.find('/') == std::string::npos
                   ? ::posix_spawnp(&pid, path.c_str(), &actions_, &attributes_, argv.data(), envp)
                   : ::posix_spawn(&pid, path.c_str(), &actions_, &attributes_, argv.data(), envp);
    }

    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

void logOutcome(const std::string& path, int status, bool timedOut) {
    if (timedOut) {
        TD_LOG(tools, path + " ran past its time limit and was killed");
    } else if (status != 0) {
        TD_LOG(tools, path + " exited with status " + std::to_string(status));
    }
}

// Reads the pipe until the tool closes it or the deadline passes; false on the deadline. Stops
// (true) once `output` holds more than `limit` bytes.
bool readUntil(int fd, Clock::time_point deadline, std::string& output,
               std::size_t limit = std::string::npos) {
    char buffer[65536];
    while (output.size() <= limit) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled == 0) {
            return false;
        }
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            return true;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return true;
        }
    }
    return true;
}

// Writes all of `input` unless the deadline passes first or the tool stops reading.
void writeUntil(int fd, std::string_view input, Clock::time_point deadline) {
    while (!input.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled == 0) {
            return;
        }
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        const ssize_t n = ::write(fd, input.data(), input.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        input.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const EnvironmentOverrides& environment,
                         std::chrono::milliseconds timeLimit) {
    const auto deadline = Clock::now() + timeLimit;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {-1, std::strerror(errno)};
    }
    SpawnSetup setup;
    setup.openOn(STDIN_FILENO, "/dev/null", O_RDONLY);
    setup.duplicateOnto(pipeFds[1], STDOUT_FILENO);
    setup.duplicateOnto(pipeFds[1], STDERR_FILENO);

    auto env = environmentWith(environment);
    std::vector<char*> envp;
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int error = setup.spawn(pid, path, args, envp.data());
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        TD_LOG(tools, "cannot start " + path + ": " + std::strerror(error));
        return {-1, "cannot start " + path + ": " + std::strerror(error)};
    }
    ProcessResult result;
    const bool finished = readUntil(pipeFds[0], deadline, result.output);
    ::close(pipeFds[0]);
    if (finished) {
        result.status = waitUntil(pid, deadline, result.timedOut);
    } else {
        result.timedOut = true;
        killGroup(pid);
        result.status = waitFor(pid);
    }
    logOutcome(path, result.status, result.timedOut);
    if (!isValidUtf8(result.output)) {
        result.output.clear();
    }
    return result;
}

BoundedOutput runForOutput(const std::string& path, const std::vector<std::string>& args,
                           std::size_t maxBytes, std::chrono::milliseconds timeLimit) {
    const auto deadline = Clock::now() + timeLimit;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    SpawnSetup setup;
    setup.openOn(STDIN_FILENO, "/dev/null", O_RDONLY);
    setup.duplicateOnto(pipeFds[1], STDOUT_FILENO);
    setup.openOn(STDERR_FILENO, "/dev/null", O_WRONLY);
    pid_t pid = 0;
    const int error = setup.spawn(pid, path, args, environ);
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        TD_LOG(tools, "cannot start " + path + ": " + std::strerror(error));
        return {};
    }
    BoundedOutput result;
    const bool finished = readUntil(pipeFds[0], deadline, result.output, maxBytes);
    ::close(pipeFds[0]);
    result.overflowed = result.output.size() > maxBytes;
    if (result.overflowed) {
        result.output.clear();
    }
    if (finished && !result.overflowed) {
        result.status = waitUntil(pid, deadline, result.timedOut);
    } else {
        result.timedOut = !finished;
        killGroup(pid);
        result.status = waitFor(pid);
    }
    logOutcome(path, result.status, result.timedOut);
    return result;
}

bool startDetached(const std::string& path, const std::vector<std::string>& args) {
    SpawnSetup setup(SpawnSetup::Group::agents);
    setup.openOn(STDIN_FILENO, "/dev/null", O_RDONLY);
    pid_t pid = 0;
    const int error = setup.spawn(pid, path, args, environ);
    if (error != 0) {
        TD_LOG(tools, "cannot start " + path + ": " + std::strerror(error));
        return false;
    }
    std::thread([pid] { waitFor(pid); }).detach();
    return true;
}

bool runWithInput(const std::string& path, const std::vector<std::string>& args,
                  const std::string& input, std::chrono::milliseconds timeLimit) {
    const auto deadline = Clock::now() + timeLimit;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    SpawnSetup setup;
    setup.duplicateOnto(pipeFds[0], STDIN_FILENO);
    setup.openOn(STDOUT_FILENO, "/dev/null", O_WRONLY);
    setup.openOn(STDERR_FILENO, "/dev/null", O_WRONLY);
    pid_t pid = 0;
    const int error = setup.spawn(pid, path, args, environ);
    ::close(pipeFds[0]);
    if (error != 0) {
        ::close(pipeFds[1]);
        TD_LOG(tools, "cannot start " + path + ": " + std::strerror(error));
        return false;
    }
    ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);  // a tool that stops reading must not hold us
    writeUntil(pipeFds[1], input, deadline);
    ::close(pipeFds[1]);
    bool timedOut = false;
    const int status = waitUntil(pid, deadline, timedOut);
    logOutcome(path, status, timedOut);
    return status == 0;
}

namespace {

// In the child between fork and exec: only calls that are safe after a fork of a threaded
// process, and no allocation.
[[noreturn]] void becomeWatched(pid_t parent, int output, int errors, const char* path,
                                char* const* argv, char* const* envp) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {  // the thread that started it is gone already
        ::_exit(127);
    }
    ::setpgid(0, 0);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
        ::dup2(errors, STDERR_FILENO) < 0) {
        ::_exit(127);
    }
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    ::execve(path, argv, envp);
    ::_exit(127);
}

struct Pipe {
    int read = -1;
    int write = -1;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        read = fds[0];
        write = fds[1];
        ::fcntl(read, F_SETFL, O_NONBLOCK);
        return true;
    }
    void closeBoth() {
        for (int fd : {read, write}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

}  // namespace

std::optional<WatchedChild> startWatched(const std::string& path,
                                         const std::vector<std::string>& args,
                                         const EnvironmentOverrides& environment) {
    const auto argv = argvFor(path, args);
    const auto entries = environmentWith(environment);
    std::vector<char*> envp;
    for (const auto& entry : entries) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    Pipe output;
    Pipe errors;
    if (!output.open() || !errors.open()) {
        output.closeBoth();
        errors.closeBoth();
        return std::nullopt;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        becomeWatched(parent, output.write, errors.write, path.c_str(), argv.data(), envp.data());
    }
    ::close(output.write);
    ::close(errors.write);
    if (pid < 0) {
        TD_LOG(tools, "cannot start " + path + ": " + std::strerror(errno));
        ::close(output.read);
        ::close(errors.read);
        return std::nullopt;
    }
    // Set here too: a signal to the group must reach it even before it has set it itself.
    ::setpgid(pid, pid);
    const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return WatchedChild{pid, output.read, errors.read, exited};
}

std::optional<int> exitedStatus(int pid) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
        return exitStatusOf(status);
    }
    return done < 0 && errno != EINTR ? std::optional(-1) : std::nullopt;
}

int stopWatched(int pid) {
    killGroup(pid);
    return waitFor(pid);
}

}  // namespace td::host
