#include "companion/sampling/disk_capacity.h"
#include "companion/sampling/system_stats_builder.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(MemoryPressureTest, LevelThresholdsAreLowerBoundsOfEachClass) {
    EXPECT_EQ(memoryPressureFromLevel(100), MemoryPressure::normal); // unreadable kernel value
    EXPECT_EQ(memoryPressureFromLevel(61), MemoryPressure::normal);
    EXPECT_EQ(memoryPressureFromLevel(60), MemoryPressure::warning);
    EXPECT_EQ(memoryPressureFromLevel(26), MemoryPressure::warning);
    EXPECT_EQ(memoryPressureFromLevel(25), MemoryPressure::critical);
    EXPECT_EQ(memoryPressureFromLevel(0), MemoryPressure::critical);
    EXPECT_EQ(memoryPressureFromLevel(-5), MemoryPressure::critical);
    EXPECT_EQ(memoryPressureFromLevel(-2147483647 - 1), MemoryPressure::critical);
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

    const SystemStats stats = buildSystemStats(response, 37.5, 1.25, local);
    EXPECT_EQ(stats.totalMem, response.totalRam);
    EXPECT_EQ(stats.usedMem, response.usedRam);
    EXPECT_EQ(stats.freeMem, response.freeRam);
    EXPECT_EQ(stats.pressure, MemoryPressure::warning);
    EXPECT_EQ(stats.coreCount, 8);
    EXPECT_EQ(stats.gpuCoreCount, 10);
    EXPECT_EQ(stats.cpuUsagePercent, 37.5);
    EXPECT_EQ(stats.loadAverage1m, 1.25);
    EXPECT_EQ(stats.diskTotal, 500'000u);
    EXPECT_EQ(stats.diskFree, 120'000u);
    EXPECT_EQ(stats.battery, (BatterySnapshot{80, true, true}));
    EXPECT_EQ(stats.cpuTemperatureCelsius, 51.5);
    // Absent readings stay absent.
    EXPECT_FALSE(stats.gpuUsagePercent);
    EXPECT_FALSE(stats.gpuTemperatureCelsius);
}

TEST(BuildSystemStatsTest, InitialAndLiveValuesDescribeThisMachine) {
    const SystemStats initial = makeInitialSystemStats();
    EXPECT_GT(initial.totalMem, 0u);
    EXPECT_GE(initial.coreCount, 1);
    EXPECT_EQ(initial.pressure, MemoryPressure::normal);
    EXPECT_EQ(initial.usedMem, 0u);
    EXPECT_EQ(initial.diskTotal, 0u);
    EXPECT_FALSE(initial.battery);
    EXPECT_FALSE(initial.gpuCoreCount);

    const SystemStats live = buildSystemStats(HelperResponse{}, 0, 0);
    EXPECT_EQ(live.coreCount, initial.coreCount);
    EXPECT_GT(live.diskTotal, 0u);
    EXPECT_LE(live.diskFree, live.diskTotal);
}

TEST(DiskCapacityTest, ReadsTheVolumeOfAPathAndZerosWhenItIsMissing) {
    const DiskCapacity root = readDiskCapacity("/");
    EXPECT_GT(root.total, 0u);
    EXPECT_LE(root.free, root.total);
    EXPECT_EQ(readDiskCapacity("/nonexistent/korvel/path"), (DiskCapacity{0, 0}));
}

} // namespace
} // namespace korvel
