#include "companion/engine/history.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(HistoryTest, EachHistoryClampsItsOwnWay) {
    const auto appended = [](const HistoryRule& rule, std::vector<std::optional<double>> values) {
        History history;
        for (const auto value : values) {
            appendHistorySample(history, value, rule);
        }
        return history;
    };
    EXPECT_EQ(appended(kCPUHistoryRule, {104.2, -0.5, 42.5}), (History{100.0, 0.0, 42.5}));
    // A merge without a GPU reading appends nothing.
    EXPECT_EQ(appended(kGPUHistoryRule, {std::nullopt, 250.0, std::nullopt}), (History{100.0}));
    EXPECT_EQ(appended(kConnectionCountHistoryRule, {-3.0, 5000.0}), (History{0.0, 5000.0}));
    EXPECT_EQ(appended(kTrafficHistoryRule, {-12.0, 1e12}), (History{-12.0, 1e12}));
}

TEST(HistoryTest, CapacityDropsTheOldestEntries) {
    for (const auto& [rule, capacity] :
         {std::pair{kCPUHistoryRule, 80}, std::pair{kTrafficHistoryRule, 120}}) {
        History history;
        for (int i = 1; i <= capacity + 1; ++i) {
            appendHistorySample(history, i, rule);
        }
        ASSERT_EQ(history.size(), static_cast<size_t>(capacity));
        EXPECT_EQ(history.front(), 2.0);
        EXPECT_EQ(history.back(), capacity + 1.0);
    }
    // A list that somehow grew beyond its capacity is cut back to it.
    History oversized(200, 1.0);
    appendHistorySample(oversized, 7.0, kConnectionCountHistoryRule);
    ASSERT_EQ(oversized.size(), 80u);
    EXPECT_EQ(oversized.back(), 7.0);
}

} // namespace
} // namespace korvel
