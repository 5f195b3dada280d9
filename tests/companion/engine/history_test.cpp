#include "companion/engine/history.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(HistoryTest, EachHistoryClampsItsOwnWay) {
    History cpu;
    appendHistorySample(cpu, 104.2, kCPUHistoryRule);
    appendHistorySample(cpu, -0.5, kCPUHistoryRule);
    appendHistorySample(cpu, 42.5, kCPUHistoryRule);
    EXPECT_EQ(cpu, (History{100.0, 0.0, 42.5}));

    History gpu;
    appendHistorySample(gpu, std::nullopt, kGPUHistoryRule);
    EXPECT_TRUE(gpu.empty());
    appendHistorySample(gpu, 250.0, kGPUHistoryRule);
    appendHistorySample(gpu, std::nullopt, kGPUHistoryRule);
    EXPECT_EQ(gpu, (History{100.0}));

    History sockets;
    appendHistorySample(sockets, -3.0, kConnectionCountHistoryRule);
    appendHistorySample(sockets, 5000.0, kConnectionCountHistoryRule);
    EXPECT_EQ(sockets, (History{0.0, 5000.0}));

    History traffic;
    appendHistorySample(traffic, -12.0, kTrafficHistoryRule);
    appendHistorySample(traffic, 1e12, kTrafficHistoryRule);
    EXPECT_EQ(traffic, (History{-12.0, 1e12}));
}

TEST(HistoryTest, CapacityDropsTheOldestEntries) {
    History cpu;
    for (int i = 1; i <= 81; ++i) {
        appendHistorySample(cpu, i, kCPUHistoryRule);
    }
    ASSERT_EQ(cpu.size(), 80u);
    EXPECT_EQ(cpu.front(), 2.0);
    EXPECT_EQ(cpu.back(), 81.0);

    History inbound;
    for (int i = 1; i <= 121; ++i) {
        appendHistorySample(inbound, i * 1000.0, kTrafficHistoryRule);
    }
    ASSERT_EQ(inbound.size(), 120u);
    EXPECT_EQ(inbound.front(), 2000.0);
    EXPECT_EQ(inbound.back(), 121000.0);

    // A list that somehow grew beyond its capacity is cut back to it.
    History oversized(200, 1.0);
    appendHistorySample(oversized, 7.0, kConnectionCountHistoryRule);
    ASSERT_EQ(oversized.size(), 80u);
    EXPECT_EQ(oversized.back(), 7.0);
}

} // namespace
} // namespace korvel
