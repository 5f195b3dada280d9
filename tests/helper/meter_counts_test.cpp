#include "helper/meter_counts.h"

#include <gtest/gtest.h>

#include <set>

namespace korvel {
namespace {

MeterSocket counted(uint64_t cookie, int32_t pid, const char* proto, uint64_t in, uint64_t out,
                    bool ended = false) {
    MeterSocket s;
    s.cookie = cookie;
    s.pid = pid;
    s.proto = proto;
    s.localAddr = "10.0.0.2";
    s.localPort = static_cast<uint16_t>(40000 + cookie);
    s.remoteAddr = "203.0.113.9";
    s.remotePort = 443;
    s.bytesIn = in;
    s.bytesOut = out;
    s.ended = ended;
    return s;
}

HelperResponse readingOf(std::initializer_list<int32_t> pids) {
    HelperResponse r;
    for (const int32_t pid : pids) {
        HelperProcessData process;
        process.pid = pid;
        r.processes.push_back(process);
    }
    HelperConnectionData udp{1, "UDP", "10.0.0.2", 40001, "203.0.113.9", 443, -1};
    udp.cookie = 1;
    HelperConnectionData tcp{1, "TCP", "10.0.0.2", 40002, "203.0.113.9", 443, 4, 10, 20, 2};
    r.connections = {udp, tcp};
    return r;
}

// Pid 7 lives in another network namespace, as a container's process does.
bool notSeven(int32_t pid) {
    return pid != 7;
}

TEST(MeterCountsTest, TheMeterFillsWhatTheDumpCannotCountOrSee) {
    HelperResponse r = readingOf({1, 7});
    MeterReply meter;
    meter.sockets = {counted(1, 1, "UDP", 500, 600), counted(2, 1, "TCP", 999, 999),
                     counted(3, 7, "TCP", 30, 40),   counted(4, 7, "UDP", 5, 6),
                     counted(5, 9, "UDP", 1, 1),     counted(6, 1, "TCP", 1, 1)};
    meter.sockets[5].localAddr = meter.sockets[5].remoteAddr = "127.0.0.1";
    meter.sockets.push_back(counted(8, 1, "TCP", 70, 80)); // not dumped yet, same namespace
    // A row of a namespace's text table: no cookie, found by its addresses.
    HelperConnectionData contained{7, "TCP", "10.0.0.2", 40009, "203.0.113.9", 443, 4};
    r.connections.push_back(contained);
    meter.sockets.push_back(counted(9, 0, "TCP", 90, 91));
    MeterEndedMemory told;
    const auto owners = addMeterCounts(r, meter, told, 100, notSeven);

    ASSERT_EQ(r.connections.size(), 5u);
    EXPECT_EQ(r.connections[2].cookie, 9u);
    EXPECT_EQ(r.connections[2].bytesOut, 91u);
    EXPECT_EQ(r.connections[2].source, kMeterSource);
    r.connections.erase(r.connections.begin() + 2);
    // UDP takes the meter's counters; TCP keeps its own.
    EXPECT_EQ(r.connections[0].bytesIn, 500u);
    EXPECT_EQ(r.connections[0].source, kMeterSource);
    EXPECT_EQ(r.connections[1].bytesIn, 10u);
    EXPECT_FALSE(r.connections[1].source);
    // The namespaced process's sockets appear; an unlisted process's and a
    // loopback connection's do not.
    EXPECT_EQ(r.connections[2].cookie, 3u);
    EXPECT_EQ(r.connections[2].pid, 7);
    EXPECT_EQ(r.connections[2].bytesOut, 40u);
    EXPECT_EQ(r.connections[3].cookie, 4u);
    // A TCP socket the dump will see is not listed twice, but its owner is known.
    ASSERT_EQ(owners.size(), 1u);
    EXPECT_EQ(owners[0].cookie, 8u);
    EXPECT_EQ(owners[0].pid, 1);
}

TEST(MeterCountsTest, EachEndedSocketIsToldOnceAndNoneFromBeforeTheFirstReading) {
    MeterReply meter;
    meter.sockets = {counted(11, 1, "UDP", 100, 200, true)};
    MeterEndedMemory told;
    HelperResponse first = readingOf({1});
    addMeterCounts(first, meter, told, 100, notSeven);
    EXPECT_TRUE(first.endedConnections.empty()) << "it ended before the client looked";

    meter.sockets = {counted(11, 1, "UDP", 100, 200, true), counted(12, 1, "UDP", 7, 8, true),
                     counted(13, 7, "TCP", 30, 40, true), counted(14, 1, "TCP", 50, 60, true),
                     counted(15, 0, "TCP", 1, 1, true)};
    HelperResponse second = readingOf({1});
    const auto owners = addMeterCounts(second, meter, told, 105, notSeven);
    std::set<uint64_t> ended;
    for (const HelperConnectionData& row : second.endedConnections) {
        ended.insert(*row.cookie);
        EXPECT_EQ(row.source, kMeterSource);
    }
    // UDP and the other namespace's TCP end here; this namespace's TCP goes to
    // the destroy ledger under its owner, and one with no owner is left to it.
    EXPECT_EQ(ended, (std::set<uint64_t>{12, 13}));
    ASSERT_EQ(owners.size(), 1u);
    EXPECT_EQ(owners[0].cookie, 14u);

    HelperResponse third = readingOf({1});
    EXPECT_TRUE(addMeterCounts(third, meter, told, 110, notSeven).empty());
    EXPECT_TRUE(third.endedConnections.empty()) << "told already";
}

} // namespace
} // namespace korvel
