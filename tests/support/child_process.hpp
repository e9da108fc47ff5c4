#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace td::test {

using namespace std::chrono_literals;

// A program started for a test, with its standard output captured. Killed and reaped when the
// object goes, so no test leaves a process behind.
class ChildProcess {
  public:
    // `extraEnv` entries ("NAME=value") take precedence over the test's own environment.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads output until a match of `pattern` (searched in all output so far) or the timeout.
    std::optional<std::smatch> waitForLine(const std::regex& pattern,
                                           std::chrono::milliseconds timeout = 10s);

    // Sends `signal` and returns the exit status (128 + signal when killed by one), or -1 when
    // the process did not end within the timeout.
    int stopWith(int signal, std::chrono::milliseconds timeout = 10s);
    // Waits for the exit; the exit status, or -1.
    int waitExit(std::chrono::milliseconds timeout = 10s);

    // The lines printed after the first `marker` line, once there are `count` of them (or the
    // timeout passed: then as many as there are).
    std::vector<std::string> linesAfter(const std::string& marker, std::size_t count,
                                        std::chrono::milliseconds timeout = 5s);

    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

}  // namespace td::test
