#include "companion/engine/timer_periods.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

// The manager tests cover the common settings; these are the remaining corners.
TEST(TimerPeriodsTest, PeriodsFollowPopoverTabSettingAndMetric) {
    EXPECT_EQ(refreshTimerPeriod(false, "overview", 0), 1.0);
    EXPECT_EQ(refreshTimerPeriod(false, "overview", 2), 2.0);
    EXPECT_EQ(refreshTimerPeriod(true, "connections", 5), 0.5);
    EXPECT_EQ(refreshTimerPeriod(true, "interfaces", 5), 1.0);
    EXPECT_EQ(refreshTimerPeriod(true, "Processes", 5), 1.0); // tab names are exact
    EXPECT_EQ(trafficSamplerPeriod(true, "cpu", false), 0.5);
    for (const char* metric : {"cpu", "none", "", "unknown-metric"}) {
        EXPECT_EQ(trafficSamplerPeriod(false, metric, true), 5.0) << metric;
        EXPECT_EQ(trafficSamplerPeriod(false, metric, false), 15.0) << metric;
    }
}

} // namespace
} // namespace korvel
