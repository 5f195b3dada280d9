#include "companion/sampling/interface_rates.h"
#include "companion/sampling/live_traffic.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace korvel {
namespace {

HelperResponse reading(double timestamp, std::vector<HelperInterfaceData> interfaces) {
    HelperResponse response;
    response.timestamp = timestamp;
    response.interfaces = std::move(interfaces);
    return response;
}

TEST(ComputeInterfaceRatesTest, RatesAreCounterGrowthOverElapsedTimeInResponseOrder) {
    const InterfaceStatsByName previous{{"en0", {"en0", 1000, 500, 0, 0}},
                                        {"utun3", {"utun3", 100, 100, 0, 0}},
                                        {"wg0", {"wg0", 5000, 100, 0, 0}}};
    const auto rows = computeInterfaceRates(
        reading(110,
                {{"utun3", 400, 100}, {"en0", 6000, 2500}, {"bridge0", 9, 9}, {"wg0", 10, 300}}),
        previous, 100);
    EXPECT_EQ(rows,
              (std::vector<InterfaceStat>{
                  {"utun3", 400, 100, 30, 0},
                  {"en0", 6000, 2500, 500, 200},
                  {"bridge0", 9, 9, 0, 0}, // seen for the first time: no rate yet
                  {"wg0", 10, 300, 0, 20}, // a counter that went down gives 0, not a huge rate
              }));

    // No elapsed time (or the clock went back), or no previous reading: zero rates.
    for (const double previousTime : {110.0, 120.0, 0.0}) {
        const auto again =
            computeInterfaceRates(reading(110, {{"en0", 9999, 9999}}),
                                  previousTime ? previous : InterfaceStatsByName{}, previousTime);
        EXPECT_EQ(again[0], (InterfaceStat{"en0", 9999, 9999, 0, 0})) << previousTime;
    }
}

TEST(RecordInterfaceActivityTest, StampsMonitoredActiveRowsAddsGrowthAndKeepsPeaks) {
    InterfaceLastActiveMap lastActive{{"en1", 5.0}};
    TrafficSessionStats session;
    InterfaceStatsByName previous;
    const std::vector<std::vector<InterfaceStat>> readings{
        // Nothing to compare against yet: stamps and peaks only.
        {{"en0", 1000, 100, 3, 0}, {"en1", 10, 10, 0, 0}, {"utun0", 50, 50, 0, 1}},
        // en0 grows, utun0's counter reset: its drop adds nothing; bridges never count.
        {{"en0", 1600, 400, 60, 30}, {"utun0", 10, 80, 0, 3}, {"bridge0", 1, 1, 500, 500}},
        // quieter interval: peaks stay.
        {{"en0", 1610, 400, 1, 0}, {"utun0", 20, 80, 1, 0}, {"bridge0", 99999, 99999, 0, 0}},
    };
    for (size_t i = 0; i < readings.size(); ++i) {
        recordInterfaceActivity(readings[i], previous, 40.0 + i, lastActive, session);
        previous = interfaceStatsByName(readings[i]);
    }
    EXPECT_EQ(lastActive, (InterfaceLastActiveMap{{"en0", 42.0}, {"en1", 5.0}, {"utun0", 42.0}}));
    EXPECT_EQ(session, (TrafficSessionStats{600 + 10 + 10, 300 + 30, 60.0, 33.0}));

    // Totals stop at the top instead of wrapping.
    session.totalInboundBytes = std::numeric_limits<uint64_t>::max() - 5;
    recordInterfaceActivity({{"en0", 1710, 400, 1, 0}}, previous, 43.0, lastActive, session);
    EXPECT_EQ(session.totalInboundBytes, std::numeric_limits<uint64_t>::max());
}

using Rates = std::tuple<double, double, bool>; // in, out, appended to the histories

class LiveTrafficTest : public ::testing::Test {
protected:
    // What one tick published; absent when it published nothing.
    std::optional<Rates> tick(const std::vector<InterfaceStat>& helperRows = {}) {
        const auto read = [this] {
            ++reads_;
            return counters_;
        };
        const auto update =
            sampleLiveTraffic(state_, inputs_, helperRows, {read, [this] { return now_; }});
        if (!update) {
            return std::nullopt;
        }
        return Rates{update->liveInboundRate, update->liveOutboundRate, update->appendToHistories};
    }

    LiveTrafficState state_;
    LiveTrafficInputs inputs_;
    std::vector<HelperInterfaceData> counters_;
    double now_ = 1000;
    int reads_ = 0;
};

TEST_F(LiveTrafficTest, FirstTickUsesTheHelperRatesThenLocalDeltas) {
    counters_ = {{"en0", 1000, 1000}, {"utun0", 0, 0}};
    const std::vector<InterfaceStat> helperRows{
        {"en0", 0, 0, 40, 4}, {"en1", 0, 0, 10, 1}, {"utun0", 0, 0, 2, 2}, {"bridge0", 0, 0, 9, 9}};
    EXPECT_EQ(tick(helperRows), (Rates{42.0, 6.0, true}));

    now_ = 1005;
    counters_ = {{"en0", 6000, 1500}, {"utun0", 50, 0}, {"wg0", 1 << 20, 0}};
    // en0 1000/s in, 100/s out; utun0 10/s in; wg0 is new and counts nothing yet.
    EXPECT_EQ(tick(helperRows), (Rates{1010.0, 100.0, true}));
    EXPECT_EQ(state_.livePrevInterfaces.at("wg0").bytesIn, 1u << 20);
}

TEST_F(LiveTrafficTest, NoElapsedTimePublishesNothingButMovesTheBaseline) {
    counters_ = {{"en0", 0, 0}};
    tick();
    counters_ = {{"en0", 500, 0}};
    EXPECT_FALSE(tick()); // same instant
    EXPECT_EQ(state_.livePrevInterfaces.at("en0").bytesIn, 500u);
    now_ -= 3; // clock stepped back
    EXPECT_FALSE(tick());
    EXPECT_EQ(state_.livePrevInterfaceTime, now_);
    now_ += 2;
    counters_ = {{"en0", 10, 200}}; // a counter that went down counts nothing
    EXPECT_EQ(tick(), (Rates{0.0, 100.0, true}));
}

TEST_F(LiveTrafficTest, SuspendedTickDoesNothingAndSamplingOffOnlyZeroesTheRates) {
    const std::vector<InterfaceStat> helperRows{{"en0", 0, 0, 5, 5}};
    counters_ = {{"en0", 1, 1}};
    inputs_ = {true, false, false, "processes"}; // suspended, traffic, popover, tab
    EXPECT_FALSE(tick(helperRows));
    inputs_.isInteractionSuspended = false;
    EXPECT_EQ(tick(helperRows), (Rates{0.0, 0.0, false}));
    EXPECT_EQ(reads_, 0);
    EXPECT_EQ(state_.livePrevInterfaceTime, 0.0);
}

} // namespace
} // namespace korvel
