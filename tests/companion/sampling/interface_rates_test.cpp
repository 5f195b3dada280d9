#include "companion/sampling/interface_rates.h"

#include <gtest/gtest.h>

#include <limits>

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
                                        {"utun3", {"utun3", 100, 100, 0, 0}}};
    const auto rows = computeInterfaceRates(
        reading(110, {{"utun3", 400, 100}, {"en0", 6000, 2500}, {"bridge0", 9, 9}}), previous, 100);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (InterfaceStat{"utun3", 400, 100, 30, 0}));
    EXPECT_EQ(rows[1], (InterfaceStat{"en0", 6000, 2500, 500, 200}));
    // Seen for the first time: no rate yet.
    EXPECT_EQ(rows[2], (InterfaceStat{"bridge0", 9, 9, 0, 0}));
}

TEST(ComputeInterfaceRatesTest, CounterThatWentDownGivesZeroNotAHugeRate) {
    const InterfaceStatsByName previous{{"en0", {"en0", 5000, 100, 0, 0}}};
    const auto rows = computeInterfaceRates(reading(20, {{"en0", 10, 300}}), previous, 10);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].rateIn, 0.0);
    EXPECT_EQ(rows[0].rateOut, 20.0);
}

TEST(ComputeInterfaceRatesTest, NoElapsedTimeOrNoPreviousReadingGivesZeroRates) {
    const InterfaceStatsByName previous{{"en0", {"en0", 0, 0, 0, 0}}};
    for (const double previousTime : {50.0, 60.0}) { // same timestamp, clock went back
        const auto rows =
            computeInterfaceRates(reading(50, {{"en0", 999, 999}}), previous, previousTime);
        EXPECT_EQ(rows[0].rateIn, 0.0);
        EXPECT_EQ(rows[0].rateOut, 0.0);
    }
    const auto first = computeInterfaceRates(reading(700000000, {{"en0", 999, 999}}), {}, 0);
    EXPECT_EQ(first[0], (InterfaceStat{"en0", 999, 999, 0, 0}));
}

TEST(RecordInterfaceActivityTest, MonitoredActiveRowsAreStampedAndOthersIgnored) {
    InterfaceLastActiveMap lastActive{{"en1", 5.0}};
    TrafficSessionStats session;
    const std::vector<InterfaceStat> rows{{"en0", 10, 10, 3, 0},
                                          {"en1", 10, 10, 0, 0},
                                          {"bridge0", 10, 10, 500, 500},
                                          {"wg0", 10, 10, 0, 1}};
    recordInterfaceActivity(rows, {}, 42.0, lastActive, session);
    EXPECT_EQ(lastActive, (InterfaceLastActiveMap{{"en0", 42.0}, {"en1", 5.0}, {"wg0", 42.0}}));
    EXPECT_EQ(session.peakInboundRate, 3.0);
    EXPECT_EQ(session.peakOutboundRate, 1.0);
    EXPECT_EQ(session.totalInboundBytes, 0u); // nothing to compare against yet
}

TEST(RecordInterfaceActivityTest, SessionTotalsAddGrowthAndPeaksKeepTheMaximum) {
    InterfaceLastActiveMap lastActive;
    TrafficSessionStats session;
    InterfaceStatsByName previous;

    const std::vector<std::vector<InterfaceStat>> readings{
        {{"en0", 1000, 100, 0, 0}, {"utun0", 50, 50, 0, 0}},
        // en0 grows, utun0's counter reset: its drop adds nothing.
        {{"en0", 1600, 400, 60, 30}, {"utun0", 10, 80, 0, 3}, {"docker0", 1, 1, 0, 0}},
        // quieter interval: peaks stay.
        {{"en0", 1610, 400, 1, 0}, {"utun0", 20, 80, 1, 0}, {"docker0", 99999, 99999, 9999, 9999}},
    };
    for (const auto& rows : readings) {
        recordInterfaceActivity(rows, previous, 1.0, lastActive, session);
        previous = interfaceStatsByName(rows);
    }
    EXPECT_EQ(session.totalInboundBytes, 600u + 10u + 10u);
    EXPECT_EQ(session.totalOutboundBytes, 300u + 30u);
    EXPECT_EQ(session.peakInboundRate, 60.0);
    EXPECT_EQ(session.peakOutboundRate, 33.0);
}

TEST(RecordInterfaceActivityTest, TotalsStopAtTheTopInsteadOfWrapping) {
    InterfaceLastActiveMap lastActive;
    TrafficSessionStats session;
    session.totalInboundBytes = std::numeric_limits<uint64_t>::max() - 5;
    const InterfaceStatsByName previous{{"en0", {"en0", 0, 0, 0, 0}}};
    recordInterfaceActivity({{"en0", 100, 0, 1, 0}}, previous, 1.0, lastActive, session);
    EXPECT_EQ(session.totalInboundBytes, std::numeric_limits<uint64_t>::max());
}

} // namespace
} // namespace korvel
