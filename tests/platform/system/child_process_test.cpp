#include "platform/system/child_process.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace korvel::platform {
namespace {

class ChildProcessTest : public ::testing::Test {
protected:
    std::string script(const std::string& name, const std::string& body) {
        const auto path = dir.write(name, "#!/bin/sh\n" + body);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    std::string pidFile() const { return dir.str() + "/background.pid"; }
    pid_t backgroundPid() const {
        pid_t pid = 0;
        std::ifstream(pidFile()) >> pid;
        return pid;
    }

    // True once the process no longer runs (gone, or a zombie awaiting its reaper).
    static bool waitUntilGone(pid_t pid) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            const std::string text{std::istreambuf_iterator<char>(stat), {}};
            const auto close = text.rfind(") ");
            if (close == std::string::npos || text[close + 2] == 'Z') {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    testing::TempDir dir;
};

TEST_F(ChildProcessTest, RunsWithoutAShellReportsHowItEndedAndBoundsLargeOutput) {
    // Arguments verbatim, standard input empty, standard error not collected.
    const std::string tool =
        script("args", "cat; echo err >&2; for a in \"$0\" \"$@\"; do echo \"[$a]\"; done\n");
    const auto result = runChildProcess(tool, {"a b", "$HOME", "x; exit 3", ""});
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->succeeded());
    EXPECT_EQ(result->standardOutput, "[" + tool + "]\n[a b]\n[$HOME]\n[x; exit 3]\n[]\n");

    const auto failed = runChildProcess(script("fail", "echo partial; exit 3\n"), {});
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->exitStatus, 3);
    EXPECT_EQ(failed->standardOutput, "partial\n");
    EXPECT_FALSE(failed->succeeded());

    const auto killed = runChildProcess(script("killed", "kill -9 $$\n"), {});
    ASSERT_TRUE(killed);
    EXPECT_FALSE(killed->exitStatus);
    EXPECT_FALSE(killed->succeeded());

    // Nothing to start: missing, not executable, a directory.
    EXPECT_FALSE(runChildProcess(dir.str() + "/absent", {}));
    EXPECT_FALSE(runChildProcess(dir.write("plain", "#!/bin/sh\necho hi\n").string(), {}));
    EXPECT_FALSE(runChildProcess(dir.str(), {}));

    // Far more than a pipe holds, on both streams, before the child can exit.
    const auto flood = script("flood", "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                                       "head -c 2000000 /dev/zero | tr '\\0' o\n"
                                       "head -c 3000000 /dev/zero | tr '\\0' e >&2\n");
    const auto whole = runChildProcess(flood, {}, {std::chrono::seconds(60), 16 * 1024 * 1024});
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->succeeded());
    EXPECT_EQ(whole->standardOutput, std::string(2000000, 'o'));

    const auto cut = runChildProcess(flood, {}, {std::chrono::seconds(60), 1000});
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->exitStatus, 0);
    EXPECT_FALSE(cut->outputComplete);
    EXPECT_FALSE(cut->succeeded());
    EXPECT_EQ(cut->standardOutput, std::string(1000, 'o'));
}

TEST_F(ChildProcessTest, AHungChildDiesWithWhatItStartedButAFinishedOneOnlyHoldsNoPipe) {
    const auto hung = runChildProcess(
        script("hang", "sleep 60 &\necho $! > " + pidFile() + "\necho started\nsleep 60\n"), {},
        {std::chrono::milliseconds(500), 1024});
    ASSERT_TRUE(hung);
    EXPECT_FALSE(hung->exitStatus);
    EXPECT_EQ(hung->standardOutput, "started\n");
    // The background sleep went down with its parent (it may linger briefly as
    // an orphan until it is reaped).
    ASSERT_GT(backgroundPid(), 0);
    EXPECT_TRUE(waitUntilGone(backgroundPid()));

    // A child that exits while a descendant still holds the pipe is done.
    const auto finished = runChildProcess(
        script("daemon", "sleep 60 &\necho $! > " + pidFile() + "\necho done\nexit 0\n"), {},
        {std::chrono::seconds(50), 1024});
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->exitStatus, 0);
    EXPECT_EQ(finished->standardOutput, "done\n");
    ::kill(backgroundPid(), SIGKILL);
}

} // namespace
} // namespace korvel::platform
