#include "companion/sampling/live_traffic.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

// A scripted counter source and clock.
struct FakeMachine {
    std::vector<HelperInterfaceData> counters;
    double now = 1000;
    int reads = 0;

    LiveTrafficSources sources() {
        return {[this] {
                    ++reads;
                    return counters;
                },
                [this] { return now; }};
    }
};

class LiveTrafficTest : public ::testing::Test {
protected:
    std::optional<LiveTrafficUpdate> tick(const std::vector<InterfaceStat>& helperRows = {}) {
        return sampleLiveTraffic(state_, inputs_, helperRows, machine_.sources());
    }

    LiveTrafficState state_;
    LiveTrafficInputs inputs_;
    FakeMachine machine_;
};

TEST_F(LiveTrafficTest, FirstTickUsesTheHelperRatesThenLocalDeltas) {
    machine_.counters = {{"en0", 1000, 1000}, {"utun0", 0, 0}};
    const std::vector<InterfaceStat> helperRows{
        {"en0", 0, 0, 40, 4}, {"en1", 0, 0, 10, 1}, {"utun0", 0, 0, 2, 2}, {"bridge0", 0, 0, 9, 9}};
    auto update = tick(helperRows);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->liveInboundRate, 42.0);
    EXPECT_EQ(update->liveOutboundRate, 6.0);
    EXPECT_TRUE(update->appendToHistories);
    EXPECT_EQ(state_.livePrevInterfaceTime, 1000.0);
    EXPECT_EQ(state_.livePrevInterfaces.size(), 2u);

    machine_.now = 1005;
    machine_.counters = {{"en0", 6000, 1500}, {"utun0", 50, 0}, {"wg0", 1 << 20, 0}};
    update = tick(helperRows); // helper rows no longer matter
    ASSERT_TRUE(update);
    // en0 1000/s in, 100/s out; utun0 10/s in; wg0 is new and counts nothing yet.
    EXPECT_EQ(update->liveInboundRate, 1010.0);
    EXPECT_EQ(update->liveOutboundRate, 100.0);
    EXPECT_EQ(state_.livePrevInterfaces.at("wg0").bytesIn, 1u << 20);
}

TEST_F(LiveTrafficTest, OnlyTheBusierPhysicalInterfaceAndAllTunnelsCount) {
    machine_.counters = {{"en0", 0, 0}, {"en1", 0, 0}, {"wlan0", 0, 0}, {"utun0", 0, 0}};
    tick();
    machine_.now += 10;
    machine_.counters = {{"en0", 100, 0}, {"en1", 100, 0}, {"wlan0", 50, 0}, {"utun0", 30, 0}};
    const auto update = tick();
    ASSERT_TRUE(update);
    EXPECT_EQ(update->liveInboundRate, 10.0 + 3.0);

    // An idle physical link with an active tunnel: the tunnel alone.
    machine_.now += 10;
    machine_.counters = {{"en0", 100, 0}, {"utun0", 130, 0}};
    EXPECT_EQ(tick()->liveInboundRate, 10.0);
}

TEST_F(LiveTrafficTest, NoElapsedTimePublishesNothingButMovesTheBaseline) {
    machine_.counters = {{"en0", 0, 0}};
    tick();
    machine_.counters = {{"en0", 500, 0}};
    EXPECT_FALSE(tick()); // same instant
    EXPECT_EQ(state_.livePrevInterfaces.at("en0").bytesIn, 500u);
    machine_.now -= 3; // clock stepped back
    EXPECT_FALSE(tick());
    EXPECT_EQ(state_.livePrevInterfaceTime, machine_.now);
    machine_.now += 2;
    machine_.counters = {{"en0", 10, 200}}; // a counter that went down counts nothing
    const auto update = tick();
    ASSERT_TRUE(update);
    EXPECT_EQ(update->liveInboundRate, 0.0);
    EXPECT_EQ(update->liveOutboundRate, 100.0);
}

TEST_F(LiveTrafficTest, SuspendedTickDoesNothingAndSamplingOffOnlyZeroesTheRates) {
    const std::vector<InterfaceStat> helperRows{{"en0", 0, 0, 5, 5}};
    machine_.counters = {{"en0", 1, 1}};
    inputs_ = {true, false, false, "processes"}; // suspended, traffic, popover, tab
    EXPECT_FALSE(tick(helperRows));
    inputs_.isInteractionSuspended = false;
    const auto update = tick(helperRows);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->liveInboundRate, 0.0);
    EXPECT_EQ(update->liveOutboundRate, 0.0);
    EXPECT_FALSE(update->appendToHistories);
    EXPECT_EQ(machine_.reads, 0);
    EXPECT_EQ(state_.livePrevInterfaceTime, 0.0);
}

TEST_F(LiveTrafficTest, AnyOfSettingPopoverOrTabSwitchesSamplingOn) {
    const std::vector<InterfaceStat> helperRows{{"en0", 0, 0, 5, 0}};
    const auto sampled = [&](LiveTrafficInputs inputs) {
        LiveTrafficState fresh;
        const auto update = sampleLiveTraffic(fresh, inputs, helperRows, machine_.sources());
        return update && update->appendToHistories;
    };
    EXPECT_TRUE(sampled({false, true, false, "processes"}));
    EXPECT_TRUE(sampled({false, false, true, "processes"}));
    for (const char* tab : {"overview", "interfaces", "connections"}) {
        EXPECT_TRUE(sampled({false, false, false, tab})) << tab;
    }
    EXPECT_FALSE(sampled({false, false, false, "processes"}));
    EXPECT_FALSE(sampled({false, false, false, "Overview"}));
}

} // namespace
} // namespace korvel
