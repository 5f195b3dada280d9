#include "platform/system/cpu_load.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(CPULoadTest, ProcStatFoldsIrqAndIowaitAndLoadAverageIsItsFirstNumbers) {
    // user nice system idle iowait irq softirq steal guest guest_nice
    EXPECT_EQ(parseCPULoadTicks("cpu  100 7 20 500 30 4 5 9 0 0\ncpu0 1 1 1 1 1 1 1 1 1 1\n"),
              (CPULoadTicks{100, 29, 530, 7}));
    // Kernels that stop after idle, and the line not being first.
    EXPECT_EQ(parseCPULoadTicks("intr 1\ncpu 1 2 3 4"), (CPULoadTicks{1, 3, 4, 2}));
    // Counters are taken modulo 2^32; system wraps to 0 here.
    EXPECT_EQ(parseCPULoadTicks("cpu  4294967297 0 4294967295 8589934592 1 0 1 0 0 0\n"),
              (CPULoadTicks{1, 0, 1, 0}));

    for (const char* malformed : {"", "cpu0 1 2 3 4 5 6 7\n", "cpu 1 2 3\n", "cpu 1 2 x 4\n",
                                  "cpu 1 2 -3 4\n", "cpus 1 2 3 4\n"}) {
        EXPECT_FALSE(parseCPULoadTicks(malformed)) << malformed;
    }
    EXPECT_EQ(parseLoadAverages("1.35 0.58 0.26 3/135 12092\n"),
              (std::array<double, 3>{1.35, 0.58, 0.26}));
    for (const char* malformed : {"", "nan 1 1", "-1.0 1 1", "1.0x 1 1", "1.35 0.58\n"}) {
        EXPECT_FALSE(parseLoadAverages(malformed)) << malformed;
    }
    EXPECT_TRUE(readCPULoadTicks("/proc"));
    EXPECT_TRUE(readLoadAverages("/proc"));
}

} // namespace
} // namespace korvel::platform
