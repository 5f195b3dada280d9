#include "companion/engine/interface_stat.h"
#include "companion/engine/net_connection.h"
#include "companion/engine/net_process.h"
#include "companion/engine/network_path_summary.h"
#include "companion/engine/system_stats.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvel {
namespace {

HelperConnectionData udpSocket() {
    return {4321, "UDP6", "::", 5353, "*", 0, -1};
}

NetProcess process(double cpu, size_t socketCount) {
    NetProcess row;
    row.id = 77;
    row.name = "mdns";
    row.displayName = "mdns";
    row.memBytes = 4096;
    row.cpuPercent = cpu;
    for (size_t i = 0; i < socketCount; ++i) {
        row.connections.push_back(makeNetConnection(udpSocket()));
    }
    return row;
}

TEST(NetConnectionTest, RowsFromTheSameSocketAreEqualDespiteFreshIds) {
    const NetConnection first = makeNetConnection(udpSocket());
    const NetConnection second = makeNetConnection(udpSocket());
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.proto, TransportProto::udp6);
    EXPECT_EQ(first.state, TCPState::unknown);

    auto changed = udpSocket();
    changed.remotePort = 1;
    EXPECT_NE(makeNetConnection(changed), first);
    changed = udpSocket();
    changed.tcpStateRaw = 4;
    EXPECT_NE(makeNetConnection(changed), first);
    changed = udpSocket();
    changed.proto = "UDP";
    EXPECT_NE(makeNetConnection(changed), first);
    changed = udpSocket();
    changed.localAddr = "0.0.0.0";
    EXPECT_NE(makeNetConnection(changed), first);
}

TEST(NetProcessTest, CPUWithinAHalfTenthAndSocketCountDecideEquality) {
    EXPECT_EQ(process(10.0, 1), process(10.04, 1));
    EXPECT_NE(process(10.0, 1), process(10.05, 1)); // strictly less than 0.05
    EXPECT_NE(process(10.05, 1), process(10.0, 1));
    EXPECT_NE(process(10.0, 1), process(10.0, 2));
    EXPECT_NE(process(std::numeric_limits<double>::quiet_NaN(), 0),
              process(std::numeric_limits<double>::quiet_NaN(), 0));

    // Different sockets, same count: equal; display fields take no part.
    NetProcess a = process(1.0, 1);
    NetProcess b = process(1.0, 1);
    auto other = udpSocket();
    other.localPort = 1;
    b.connections[0] = makeNetConnection(other);
    b.displayName = "Something Else";
    b.execPath = "/usr/sbin/mdns";
    b.icon = "network-workgroup";
    EXPECT_EQ(a, b);

    b = a;
    b.memBytes += 1;
    EXPECT_NE(a, b);
    b = a;
    b.name = "other";
    EXPECT_NE(a, b);
    b = a;
    b.id = 78;
    EXPECT_NE(a, b);
}

TEST(InterfaceStatTest, AllFieldsCompareExactlySoNaNIsUnequalToItself) {
    const InterfaceStat stat{"en0", 10, 20, 1.5, 2.5};
    EXPECT_EQ(stat, (InterfaceStat{"en0", 10, 20, 1.5, 2.5}));
    EXPECT_NE(stat, (InterfaceStat{"en0", 10, 20, 1.5, 2.5000001}));
    EXPECT_NE(stat, (InterfaceStat{"en0", 10, 21, 1.5, 2.5}));
    EXPECT_NE(stat, (InterfaceStat{"en1", 10, 20, 1.5, 2.5}));

    InterfaceStat broken = stat;
    broken.rateIn = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(broken == broken);
}

TEST(RecordEqualityTest, OptionalsAreEqualWhenBothAbsentOrBothEqual) {
    SystemStats a;
    SystemStats b;
    EXPECT_EQ(a, b);
    b.battery = BatterySnapshot{50, false, true};
    EXPECT_NE(a, b);
    a.battery = BatterySnapshot{50, false, false};
    EXPECT_NE(a, b);
    a.battery->isOnACPower = true;
    EXPECT_EQ(a, b);
    a.gpuUsagePercent = 0.0;
    EXPECT_NE(a, b); // present 0 differs from absent

    NetworkPathSummary path;
    EXPECT_EQ(path.status, NetworkPathStatus::offline);
    EXPECT_EQ(path.transportLabel, "Unknown");
    NetworkPathSummary other = path;
    other.localAddress = "192.0.2.1";
    EXPECT_NE(path, other);
}

} // namespace
} // namespace korvel
