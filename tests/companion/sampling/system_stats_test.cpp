#include "companion/sampling/cpu_sampler.h"
#include "companion/sampling/system_stats_builder.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <tuple>

namespace korvel {
namespace {

TEST(MemoryPressureTest, LevelThresholdsAreLowerBoundsOfEachClass) {
    using enum MemoryPressure;
    const std::vector<std::pair<int32_t, MemoryPressure>> cases{
        {100, normal},  {61, normal},  {60, warning},  {26, warning},
        {25, critical}, {0, critical}, {-5, critical}, {INT32_MIN, critical}};
    for (const auto& [level, pressure] : cases) {
        EXPECT_EQ(memoryPressureFromLevel(level), pressure) << level;
    }
}

TEST(CPUBusyPercentTest, NiceIsBusyOnlyIdleIsIdleAndWrappedCountersCount) {
    constexpr uint32_t kTop = 4294967295u;
    struct Case {
        CPUTicks before, after; // user, system, idle, nice
        double percent;
    };
    for (const auto& c : std::vector<Case>{
             {{0, 0, 0, 0}, {10, 20, 60, 10}, 40.0},
             {{123, 456, 789, 10}, {123, 456, 789, 10}, 0.0},      // no ticks elapsed: no division
             {{kTop - 9, 100, 1000, 0}, {10, 120, 1060, 0}, 40.0}, // user wrapped: 20 ticks
             {{kTop, kTop, kTop, kTop}, {0, 0, 1, 0}, 60.0},       // all wrapped, idle by two
         }) {
        EXPECT_DOUBLE_EQ(cpuBusyPercent(c.before, c.after), c.percent);
    }
}

TEST(SampleCPUTest, PercentNeedsPreviousTicksAndReadableCounters) {
    testing::TempDir proc;
    proc.write("stat", "cpu  300 0 100 600 0 0 0 0 0 0\n");
    proc.write("loadavg", "0.75 0.50 0.25 2/90 7\n");

    const auto fields = [](const CPUSample& s) {
        return std::tuple(s.ticks, s.cpuUsagePercent, s.loadAverage1m);
    };
    EXPECT_EQ(fields(sampleCPU(std::nullopt, proc.str())),
              std::tuple(CPUTicks{300, 100, 600, 0}, 0.0, 0.75));

    const CPUSample later = sampleCPU(CPUTicks{100, 50, 500, 0}, proc.str());
    EXPECT_DOUBLE_EQ(later.cpuUsagePercent, 250.0 / 350.0 * 100.0);

    // Unreadable counters: zeros to measure the next call against, 0 %.
    testing::TempDir empty;
    EXPECT_EQ(fields(sampleCPU(CPUTicks{1, 2, 3, 4}, empty.str())),
              std::tuple(CPUTicks{0, 0, 0, 0}, 0.0, 0.0));
}

} // namespace
} // namespace korvel
