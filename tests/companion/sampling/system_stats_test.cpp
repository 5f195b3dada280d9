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

TEST(DiskCapacityTest, AVolumeThatCannotBeReadCountsAsEmpty) {
    EXPECT_EQ(readDiskCapacity("/nonexistent/korvel/path"), (DiskCapacity{0, 0}));
}

} // namespace
} // namespace korvel
