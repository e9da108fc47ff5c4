#include "host/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <csignal>
#include <thread>

#include "common/files.hpp"
#include "host/linux/pactl_output.hpp"
#include "host/shortcuts.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace td::host {
namespace {

using namespace std::chrono_literals;

// Writes an executable shell script.
void writeScript(const test::TempDir& dir, const std::string& name, const std::string& body,
                 mode_t mode = 0755) {
    dir.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod((dir.path() / name).c_str(), mode);
}

TEST(RunProcess, StatusAndBothStreamsWithoutAShell) {
    const auto result = runProcess("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.output, "out\nerr\n");

    // Arguments are passed as they are: nothing is expanded.
    EXPECT_EQ(runProcess("echo", {"$HOME; rm -rf /", "*"}).output, "$HOME; rm -rf / *\n");

    const auto missing = runProcess("/no/such/tool", {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_FALSE(missing.output.empty());

    const auto binary = runProcess("printf", {"\\377\\376"});
    EXPECT_EQ(binary.status, 0);
    EXPECT_EQ(binary.output, "");

    EXPECT_EQ(runProcess("sh", {"-c", "echo $LC_ALL"}, {"LC_ALL=C"}).output, "C\n");
    EXPECT_EQ(runProcess("sh", {"-c", "kill -TERM $$"}).status, 128 + 15);
}

// Another thread's child may still hold a script just written open for writing; the kernel
// then refuses to run it for a moment, and that moment is waited out.
TEST(RunProcess, AScriptStillOpenForWritingAMomentLongerStarts) {
    test::TempDir dir;
    const auto path = dir.path() / "fresh";
    const int writer = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
    ASSERT_GE(writer, 0);
    const std::string script = "#!/bin/sh\necho ran\n";
    ASSERT_EQ(::write(writer, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    std::thread closer([writer] {
        std::this_thread::sleep_for(50ms);
        ::close(writer);
    });
    const auto result = runProcess(path.string(), {});
    closer.join();
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "ran\n");
}

TEST(RunProcess, AToolPastItsTimeIsKilledWithWhatItStarted) {
    const auto started = std::chrono::steady_clock::now();
    // The child's own child keeps the output open: it must be killed too, or the read hangs.
    const auto hung = runProcess("sh", {"-c", "sleep 30 & echo waiting; wait"}, {}, 300ms);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_EQ(hung.status, 128 + 9);
    EXPECT_EQ(hung.output, "waiting\n");
    // A tool that closes its output but does not exit.
    const auto quiet = runProcess("sh", {"-c", "exec >/dev/null 2>&1; sleep 30"}, {}, 300ms);
    EXPECT_TRUE(quiet.timedOut);
    // A tool that never reads what it is given.
    EXPECT_FALSE(runWithInput("sh", {"-c", "sleep 30"}, std::string(1 << 20, 'x'), 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(runProcess("true", {}).timedOut);
}

// The agent ignores SIGPIPE and holds sockets opened without close-on-exec; a tool or a
// Shortcut must see none of it, or it would keep the agent's port after the agent is gone and
// shrug off Ctrl-C and kill.
TEST(RunProcess, ToolsInheritNoDescriptorBlockedOrIgnoredSignal) {
    test::TempDir dir;
    const std::string report =
        // The shell looks at itself with its own built-ins: a child of it (ls, a pipeline) could
        // see a descriptor the shell holds for a moment around a fork, or the moment it blocks
        // every signal to fork. "end" says the report is whole.
        R"sh(exec > "$0"; n=0
           while [ $n -lt 256 ]; do [ -e /proc/$$/fd/$n ] && printf '%s ' $n; n=$((n+1)); done
           echo
           while read -r key value; do
             # The standard signals (1 to 31): glibc keeps two of its own above them ignored.
             case $key in SigBlk:|SigIgn:) echo "$key $((0x$value & 0x7FFFFFFF))";; esac
           done < /proc/$$/status
           echo end)sh";
    const int inherited = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop, previousMask;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &previousMask);

    const auto path = [&dir](const char* name) { return (dir.path() / name).string(); };
    runProcess("/bin/sh", {"-c", report, path("tool")});
    ASSERT_TRUE(startDetached("/bin/sh", {"-c", report, path("detached")}));
    ASSERT_TRUE(runWithInput("/bin/sh", {"-c", report, path("fed")}, "input"));
    ASSERT_TRUE(test::eventually(
        [&] { return readWholeFile(path("detached")).value_or("").ends_with("end\n"); }));

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    std::signal(SIGPIPE, previousPipe);
    ::close(inherited);
    for (const char* child : {"tool", "detached", "fed"}) {
        EXPECT_EQ(readWholeFile(path(child)), "0 1 2 \nSigBlk: 0\nSigIgn: 0\nend\n") << child;
    }
}

TEST(Shortcuts, ExecutableFilesOfTheFolderOnlyThatNoOtherUserCouldWrite) {
    test::TempDir dir;
    writeScript(dir, "Backup", "touch \"$(dirname \"$0\")/.ran-backup\"");
    writeScript(dir, "Another one", "exit 0");
    writeScript(dir, ".hidden", "exit 0");
    writeScript(dir, "notes.txt", "", 0644);
    writeScript(dir, "Shared", "exit 0", 0777);
    std::filesystem::create_directory(dir.path() / "folder");
    EXPECT_EQ(listShortcuts(dir.path()), (std::vector<std::string>{"Another one", "Backup"}));
    EXPECT_TRUE(listShortcuts(dir.path() / "missing").empty());

    test::TempDir outside;
    writeScript(outside, "evil", "touch ran-evil");
    const std::string escape = "../" + outside.path().filename().string() + "/evil";
    for (const std::string& refused :
         {std::string(""), std::string(".hidden"), escape, std::string("notes.txt"),
          std::string("folder"), std::string("Missing"), std::string("Shared")}) {
        EXPECT_FALSE(runShortcut(dir.path(), refused)) << refused;
    }
    ASSERT_TRUE(runShortcut(dir.path(), "Backup"));
    EXPECT_TRUE(
        test::eventually([&] { return std::filesystem::exists(dir.path() / ".ran-backup"); }));

    ::chmod(dir.path().c_str(), 0777);  // anyone could now put a "Backup" of their own there
    EXPECT_TRUE(listShortcuts(dir.path()).empty());
    EXPECT_FALSE(runShortcut(dir.path(), "Backup"));
    ::chmod(dir.path().c_str(), 0700);
}

TEST(PactlOutput, MeanOfTheChannelsAndTheMuteLine) {
    EXPECT_EQ(pactl::volumePercent("Volume: front-left: 22937 /  35% / -27.36 dB,   front-right: "
                                   "22937 /  35% / -27.36 dB\n        balance 0.00\n"),
              35);
    EXPECT_EQ(pactl::volumePercent("Volume: front-left: 1 /  40% / x,   front-right: 1 /  45% / x"),
              43);
    EXPECT_EQ(pactl::volumePercent("Volume: mono: 65536 / 100% / 0.00 dB"), 100);
    EXPECT_FALSE(pactl::volumePercent("No such entity"));
    // A number too long for any volume is not one (it used to end the process).
    EXPECT_EQ(pactl::volumePercent("front-left: 99999999999999999999% front-right: 40%"), 40);
    EXPECT_TRUE(pactl::muted("Mute: yes\n"));
    EXPECT_FALSE(pactl::muted("Mute: no\n"));
    EXPECT_FALSE(pactl::muted(""));
}

}  // namespace
}  // namespace td::host
