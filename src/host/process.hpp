#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace td::host {

// A tool that runs longer is killed, with everything it started: a hung tool must not hold a
// thread of the agent for good.
inline constexpr std::chrono::milliseconds TOOL_TIME_LIMIT{10'000};

// A tool's exit status and its standard output and error, interleaved as written.
struct ProcessResult {
    int status = -1;
    std::string output;
    bool timedOut = false;  // killed at the time limit (status then tells the signal)
};

// Extra environment entries ("NAME=value") that replace the agent's own for one tool.
using EnvironmentOverrides = std::vector<std::string>;

// Runs a tool directly (never through a shell) and waits for it, at most `timeLimit`. A path
// without "/" is looked up on PATH. A tool that cannot be started gives status -1 and the
// reason as output; output that is not UTF-8 becomes empty. A tool killed by a signal gives
// 128 + the signal.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const EnvironmentOverrides& environment = {},
                         std::chrono::milliseconds timeLimit = TOOL_TIME_LIMIT);

// What a tool printed on its standard output, read to a bound.
struct BoundedOutput {
    int status = -1;  // as runProcess's; -1 also when it could not start
    std::string output;
    bool overflowed = false;  // it printed more than the bound: killed, and `output` is empty
    bool timedOut = false;
};

// Runs a tool for its standard output (its errors discarded, its input empty), as runProcess
// does otherwise. A tool that prints more than `maxBytes` is killed there: what another
// program feeds it may be of any size.
BoundedOutput runForOutput(const std::string& path, const std::vector<std::string>& args,
                           std::size_t maxBytes,
                           std::chrono::milliseconds timeLimit = TOOL_TIME_LIMIT);

// Starts a tool without waiting for it; true when it started. Its exit is collected in the
// background so that it leaves no zombie.
bool startDetached(const std::string& path, const std::vector<std::string>& args);

// Runs a tool with `input` on its standard input and its output discarded (not piped: a tool
// that forks a server to keep serving, as clipboard tools do, must not hold our pipe open).
// True when it exited with status 0 within `timeLimit`.
bool runWithInput(const std::string& path, const std::vector<std::string>& args,
                  const std::string& input, std::chrono::milliseconds timeLimit = TOOL_TIME_LIMIT);

// A child whose output the agent reads as it comes, for as long as it runs.
struct WatchedChild {
    int pid = -1;     // also its process group: whatever it starts goes with it
    int output = -1;  // the read ends of its standard output and error: non-blocking,
    int errors = -1;  // close-on-exec, the caller's to close
    // Readable once it has exited, even while something it started holds its output (-1 where
    // the kernel has no process descriptors); the caller's to close.
    int exited = -1;
};

// Starts a tool as runProcess does (nothing of the agent's, default signals, a process group
// of its own), its standard input empty. It is killed when the calling thread ends (the
// kernel's parent-death signal follows the thread that started it), so that it never outlives
// the agent: start it from a thread that lives as long as it may run.
std::optional<WatchedChild> startWatched(const std::string& path,
                                         const std::vector<std::string>& args,
                                         const EnvironmentOverrides& environment = {});
// Its exit status (as runProcess's) once it has ended; nothing while it runs.
std::optional<int> exitedStatus(int pid);
// Kills it and everything it started, and collects its exit: its status as runProcess's (an
// exit before the kill keeps its own).
int stopWatched(int pid);

}  // namespace td::host
