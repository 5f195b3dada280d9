#include "companion/model/history.h"
#include "companion/model/net_connection.h"
#include "companion/model/net_process.h"
#include "companion/model/tcp_state.h"
#include "companion/model/transport_proto.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <numeric>
#include <tuple>

namespace korvel {
namespace {

TEST(ModelConversionsTest, RawNumbersAndStringsMapExactly) {
    const std::vector<std::pair<int32_t, TCPState>> raws = {
        {0, TCPState::closed},         {4, TCPState::established}, {10, TCPState::timeWait},
        {-1, TCPState::unknown},       {11, TCPState::unknown},    {INT32_MAX, TCPState::unknown},
        {INT32_MIN, TCPState::unknown}};
    for (const auto& [raw, state] : raws) {
        EXPECT_EQ(tcpStateFromRaw(raw), state) << raw;
    }
    EXPECT_EQ(rawValue(TCPState::unknown), "\xE2\x80\x94"); // one em dash, U+2014

    const std::vector<std::pair<const char*, TransportProto>> protos = {
        {"TCP", TransportProto::tcp},  {"TCP6", TransportProto::tcp6},
        {"UDP", TransportProto::udp},  {"UDP6", TransportProto::udp6},
        {"udp6", TransportProto::tcp}, {"", TransportProto::tcp}};
    for (const auto& [text, proto] : protos) {
        EXPECT_EQ(transportProtoFromHelper(text), proto) << text;
    }
    EXPECT_EQ(rawValue(TransportProto::tcp6), "TCP6");
}

HelperConnectionData udpSocket() {
    return {4321, "UDP6", "::", 5353, "*", 0, -1};
}

TEST(ModelEqualityTest, ConnectionsCompareBySocket) {
    const NetConnection first = makeNetConnection(udpSocket());
    EXPECT_EQ(first, makeNetConnection(udpSocket()));

    const std::vector<std::function<void(HelperConnectionData&)>> changes = {
        [](auto& s) { s.remotePort = 1; }, [](auto& s) { s.tcpStateRaw = 4; },
        [](auto& s) { s.proto = "UDP"; }, [](auto& s) { s.localAddr = "0.0.0.0"; }};
    for (const auto& change : changes) {
        auto changed = udpSocket();
        change(changed);
        EXPECT_NE(makeNetConnection(changed), first);
    }
}

TEST(ModelEqualityTest, ProcessesCompareCPUWithinAHalfTenthAndCountSocketsOnly) {
    const auto process = [](double cpu, size_t sockets) {
        NetProcess row;
        row.id = 77;
        row.name = "mdns";
        row.cpuPercent = cpu;
        row.memBytes = 4096;
        row.connections.assign(sockets, makeNetConnection(udpSocket()));
        return row;
    };
    EXPECT_EQ(process(10.0, 1), process(10.04, 1));
    EXPECT_NE(process(10.05, 1), process(10.0, 1)); // strictly less than 0.05
    EXPECT_NE(process(10.0, 1), process(10.0, 2));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NE(process(nan, 0), process(nan, 0));

    // Different sockets, same count: equal; display fields take no part.
    const NetProcess a = process(1.0, 1);
    NetProcess b = a;
    auto other = udpSocket();
    other.localPort = 1;
    b.connections[0] = makeNetConnection(other);
    b.displayName = "Something Else";
    b.execPath = "/usr/sbin/mdns";
    b.icon = "network-workgroup";
    EXPECT_EQ(a, b);
    const std::vector<std::function<void(NetProcess&)>> changes = {
        [](auto& p) { p.memBytes += 1; }, [](auto& p) { p.name = "other"; },
        [](auto& p) { p.id = 78; }};
    for (const auto& change : changes) {
        b = a;
        change(b);
        EXPECT_NE(a, b);
    }
}

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
