#include "platform/system/child_process.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace korvel::platform {
namespace {

using testing::TempDir;

class ChildProcessTest : public ::testing::Test {
protected:
    std::string script(const std::string& name, const std::string& body) {
        const auto path = dir.write(name, "#!/bin/sh\n" + body);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    static std::optional<pid_t> backgroundPid(const std::string& pidFile) {
        std::ifstream in(pidFile);
        pid_t pid = 0;
        if (in >> pid && pid > 0) {
            return pid;
        }
        return std::nullopt;
    }

    // True once the process no longer runs (gone, or a zombie awaiting its reaper).
    static bool waitUntilGone(pid_t pid) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text;
            if (!std::getline(stat, text)) {
                return true;
            }
            const auto close = text.rfind(')');
            if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempDir dir;
};

TEST_F(ChildProcessTest, CollectsStandardOutputAndDiscardsStandardError) {
    const auto result = runChildProcess(script("tool", "echo out; echo err >&2; echo more\n"), {});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_TRUE(result->succeeded());
    EXPECT_EQ(result->standardOutput, "out\nmore\n");
}

TEST_F(ChildProcessTest, PassesArgumentsVerbatimWithoutAShell) {
    const std::string tool = script("args", "for a in \"$0\" \"$@\"; do echo \"[$a]\"; done\n");
    const auto result = runChildProcess(tool, {"--samplers", "a b", "$HOME", "x; exit 3", ""});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_EQ(result->standardOutput,
              "[" + tool + "]\n[--samplers]\n[a b]\n[$HOME]\n[x; exit 3]\n[]\n");
}

TEST_F(ChildProcessTest, StandardInputIsEmpty) {
    const auto result = runChildProcess(script("stdin", "cat; echo end\n"), {});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->standardOutput, "end\n");
}

TEST_F(ChildProcessTest, ReportsExitStatusAndSignals) {
    const auto failed = runChildProcess(script("fail", "echo partial; exit 3\n"), {});
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->exitStatus, 3);
    EXPECT_EQ(failed->standardOutput, "partial\n");
    EXPECT_FALSE(failed->succeeded());

    const auto killed = runChildProcess(script("killed", "kill -9 $$\n"), {});
    ASSERT_TRUE(killed);
    EXPECT_FALSE(killed->exitStatus);
    EXPECT_FALSE(killed->succeeded());
}

TEST_F(ChildProcessTest, NoResultWhenItCannotStart) {
    EXPECT_FALSE(runChildProcess(dir.str() + "/absent", {}));
    dir.write("not-executable", "#!/bin/sh\necho hi\n");
    EXPECT_FALSE(runChildProcess(dir.str() + "/not-executable", {}));
    EXPECT_FALSE(runChildProcess(dir.str(), {}));
}

TEST_F(ChildProcessTest, LargeOutputOnBothPipesDoesNotStallTheChild) {
    // Far more than a pipe holds, on both streams, before the child can exit.
    const auto result =
        runChildProcess(script("flood", "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                                        "head -c 2000000 /dev/zero | tr '\\0' o\n"
                                        "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"),
                        {}, {std::chrono::seconds(60), 16 * 1024 * 1024});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_TRUE(result->outputComplete);
    EXPECT_EQ(result->standardOutput, std::string(2000000, 'o'));
}

TEST_F(ChildProcessTest, OutputPastTheLimitMakesTheRunIncomplete) {
    const auto result = runChildProcess(script("big", "head -c 100000 /dev/zero | tr '\\0' o\n"),
                                        {}, {std::chrono::seconds(60), 1000});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_FALSE(result->outputComplete);
    EXPECT_FALSE(result->succeeded());
    EXPECT_EQ(result->standardOutput.size(), 1000u);
}

TEST_F(ChildProcessTest, AHungChildIsKilledWithWhatItStarted) {
    const std::string pidFile = dir.str() + "/background.pid";
    const auto result = runChildProcess(
        script("hang", "sleep 60 &\necho $! > " + pidFile + "\necho started\nsleep 60\n"), {},
        {std::chrono::milliseconds(500), 1024});
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->exitStatus);
    EXPECT_FALSE(result->succeeded());
    EXPECT_EQ(result->standardOutput, "started\n");

    // The background sleep went down with its parent (it may linger briefly as
    // an orphan until it is reaped).
    ASSERT_TRUE(backgroundPid(pidFile));
    EXPECT_TRUE(waitUntilGone(*backgroundPid(pidFile)));
}

TEST_F(ChildProcessTest, ADescendantHoldingThePipeDoesNotHoldTheCaller) {
    const std::string pidFile = dir.str() + "/background.pid";
    const auto result = runChildProcess(
        script("daemon", "sleep 60 &\necho $! > " + pidFile + "\necho done\nexit 0\n"), {},
        {std::chrono::seconds(50), 1024});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitStatus, 0);
    EXPECT_EQ(result->standardOutput, "done\n");
    const auto pid = backgroundPid(pidFile);
    ASSERT_TRUE(pid);
    ::kill(*pid, SIGKILL);
}

} // namespace
} // namespace korvel::platform
