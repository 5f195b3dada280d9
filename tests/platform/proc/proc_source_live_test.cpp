#include "platform/proc/proc_source.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

    EXPECT_EQ(source.executablePath(self),
              std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_FALSE(source.shortName(self)->empty());
    const auto task = source.taskInfo(self);
    ASSERT_TRUE(task);
    EXPECT_GT(task->residentBytes, 1u << 20);
    EXPECT_EQ(task->userNS % 1000000, 0u) << "whole clock ticks, in nanoseconds";
}

} // namespace
} // namespace korvel::platform::proc
