#include "companion/engine/history.h"

#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

namespace korvel {
namespace {

TEST(HistoryTest, EachHistoryClampsItsOwnWayAndKeepsItsNewestUpToCapacity) {
    using Values = std::vector<std::optional<double>>;
    for (const auto& [rule, capacity, values, tail] :
         std::vector<std::tuple<HistoryRule, size_t, Values, History>>{
             {kCPUHistoryRule, 80, {104.2, -0.5, 42.5}, {100.0, 0.0, 42.5}},
             {kGPUHistoryRule, 80, {std::nullopt, 250.0, std::nullopt}, {100.0}}, // absent: nothing
             {kConnectionCountHistoryRule, 80, {-3.0, 5000.0}, {0.0, 5000.0}},
             {kTrafficHistoryRule, 120, {-12.0, 1e12}, {-12.0, 1e12}}}) {
        History history(capacity + 1); // one over, as if grown beyond capacity: cut back too
        std::iota(history.begin(), history.end(), 1.0);
        for (const auto value : values) {
            appendHistorySample(history, value, rule);
        }
        ASSERT_EQ(history.size(), capacity);
        EXPECT_EQ(history.front(), tail.size() + 2.0) << "the oldest entries go first";
        EXPECT_EQ(History(history.end() - tail.size(), history.end()), tail);
    }
}

} // namespace
} // namespace korvel
