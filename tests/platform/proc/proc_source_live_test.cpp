#include "platform/proc/proc_source.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

TEST(ProcSourceLiveTest, ThisProcessAsTheKernelSeesIt) {
    ProcSource source;
    const auto pids = source.listAllPids();
    const int32_t self = ::getpid();
    EXPECT_NE(std::find(pids.begin(), pids.end(), self), pids.end());
    EXPECT_EQ(std::find(pids.begin(), pids.end(), 0), pids.end());
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end())) << "the kernel lists pids ascending";
    struct stat kthreadd {};
    if (::stat("/proc/2/stat", &kthreadd) == 0 && source.shortName(2) == "kthreadd") {
        EXPECT_EQ(std::find(pids.begin(), pids.end(), 2), pids.end());
    }

    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    EXPECT_EQ(source.executablePath(self), std::string_view(exe, static_cast<size_t>(n)));
    EXPECT_FALSE(source.shortName(self)->empty());
    const auto task = source.taskInfo(self);
    ASSERT_TRUE(task);
    EXPECT_GT(task->residentBytes, 1u << 20);
    EXPECT_EQ(task->userNS % 1000000, 0u) << "whole clock ticks, in nanoseconds";
}

TEST(ProcSourceLiveTest, AnExecutableDeletedWhileRunningKeepsItsPath) {
    testing::TempDir dir;
    const auto copy = dir.path() / "napper";
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string program = copy.string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, argv[0], nullptr, nullptr, argv, nullptr), 0);
    ProcSource source;
    // Until the exec has happened the link still names this test binary.
    for (int i = 0; i < 500 && source.executablePath(child) != program; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(source.executablePath(child), program);
    std::filesystem::remove(copy);
    char raw[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), raw, sizeof raw);
    EXPECT_EQ(std::string(raw, n > 0 ? static_cast<size_t>(n) : 0), program + " (deleted)");
    EXPECT_EQ(source.executablePath(child), program);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

} // namespace
} // namespace korvel::platform::proc
