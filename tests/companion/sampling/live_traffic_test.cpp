#include "companion/sampling/live_traffic.h"

#include <gtest/gtest.h>

#include <tuple>

namespace korvel {
namespace {

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
