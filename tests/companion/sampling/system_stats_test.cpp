#include "companion/sampling/disk_capacity.h"
#include "companion/sampling/system_stats_builder.h"

#include <gtest/gtest.h>

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

TEST(BuildSystemStatsTest, CombinesResponseCPUFiguresAndLocalReadings) {
    HelperResponse response;
    response.totalRam = 16ull << 30;
    response.usedRam = 6ull << 30;
    response.freeRam = 9ull << 30;
    response.memPressureLevel = 40;
    response.gpuCoreCount = 10;
    response.cpuTemperatureCelsius = 51.5;
    const LocalSystemFigures local{8, {500'000, 120'000}, BatterySnapshot{80, true, true}};
    // The response's figures are taken as they are; absent readings stay absent.
    SystemStats expected;
    expected.totalMem = response.totalRam;
    expected.usedMem = response.usedRam;
    expected.freeMem = response.freeRam;
    expected.pressure = MemoryPressure::warning;
    expected.memPressureLevel = 40;
    expected.coreCount = 8;
    expected.gpuCoreCount = 10;
    expected.cpuUsagePercent = 37.5;
    expected.loadAverage1m = 1.25;
    expected.diskTotal = 500'000;
    expected.diskFree = 120'000;
    expected.battery = local.battery;
    expected.cpuTemperatureCelsius = 51.5;
    EXPECT_EQ(buildSystemStats(response, 37.5, 1.25, local), expected);
}

TEST(BuildSystemStatsTest, InitialAndLiveValuesDescribeThisMachine) {
    const SystemStats initial = makeInitialSystemStats();
    EXPECT_GT(initial.totalMem, 0u);
    EXPECT_GE(initial.coreCount, 1);
    SystemStats onlyThose; // everything else 0 or absent
    onlyThose.totalMem = initial.totalMem;
    onlyThose.coreCount = initial.coreCount;
    EXPECT_EQ(initial, onlyThose);

    const SystemStats live = buildSystemStats(HelperResponse{}, 0, 0);
    EXPECT_EQ(live.coreCount, initial.coreCount);
    EXPECT_GT(live.diskTotal, 0u);
    EXPECT_LE(live.diskFree, live.diskTotal);
    EXPECT_EQ(readDiskCapacity("/nonexistent/korvel/path"), (DiskCapacity{0, 0}));
}

} // namespace
} // namespace korvel
