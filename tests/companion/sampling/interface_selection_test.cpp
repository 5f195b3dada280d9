#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_selection.h"

#include <gtest/gtest.h>

#include <string>

namespace korvel {
namespace {

std::vector<std::string> ids(const std::vector<InterfaceStat>& rows) {
    std::vector<std::string> names;
    for (const auto& row : rows) {
        names.push_back(row.id);
    }
    return names;
}

TEST(InterfaceFamilyTest, PrefixesOfBothSystemsAreClassifiedCaseSensitively) {
    for (const char* name : {"en0", "enp3s0", "eno1", "eth0", "wlan0", "wlp2s0", "wwan0"}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::physical) << name;
    }
    for (const char* name : {"utun4", "ipsec0", "ppp0", "tun0", "wg0", "tailscale0"}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::tunnel) << name;
    }
    for (const char* name :
         {"lo", "lo0", "bridge0", "docker0", "veth12ab", "virbr0", "EN0", "Eth0", "awdl0", ""}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::other) << name;
        EXPECT_FALSE(isMonitoredInterface(name)) << name;
    }
}

TEST(VisibleInterfacesTest, BusiestActivePhysicalThenActiveTunnels) {
    const std::vector<InterfaceStat> rows{
        {"en0", 0, 0, 100, 0},  {"wlan0", 0, 0, 300, 50}, {"utun1", 0, 0, 5, 5},
        {"wg0", 0, 0, 20, 0},   {"tun0", 0, 0, 0, 0},     {"docker0", 0, 0, 9999, 0},
        {"utun0", 0, 0, 0, 10},
    };
    EXPECT_EQ(ids(visibleInterfaces(rows)),
              (std::vector<std::string>{"wlan0", "wg0", "utun0", "utun1"}));
    // Equal rates prefer the smaller name; an idle physical interface is left out.
    EXPECT_EQ(ids(visibleInterfaces({{"en1", 0, 0, 10, 0}, {"en0", 0, 0, 0, 10}})),
              (std::vector<std::string>{"en0"}));
    EXPECT_EQ(ids(visibleInterfaces({{"en0", 5, 5, 0, 0}, {"utun2", 0, 0, 1, 0}})),
              (std::vector<std::string>{"utun2"}));
}

TEST(MonitoredInterfacesTest, ActiveFirstThenRateThenPhysicalThenName) {
    const std::vector<InterfaceStat> rows{
        {"en1", 0, 0, 0, 0},  {"utun0", 0, 0, 1, 0}, {"en0", 0, 0, 0, 0},
        {"lo", 0, 0, 50, 50}, {"eth0", 0, 0, 0, 7},  {"wg0", 0, 0, 1, 0},
    };
    EXPECT_EQ(ids(monitoredInterfaces(rows)),
              (std::vector<std::string>{"eth0", "utun0", "wg0", "en0", "en1"}));
    // Nothing has traffic: an idle VPN never leads a physical interface.
    const std::vector<InterfaceStat> idle{{"wlan0", 0, 0, 0, 0},
                                          {"tailscale0", 0, 0, 0, 0},
                                          {"tun0", 0, 0, 0, 0},
                                          {"eth1", 0, 0, 0, 0}};
    EXPECT_EQ(ids(monitoredInterfaces(idle)),
              (std::vector<std::string>{"eth1", "wlan0", "tailscale0", "tun0"}));
}

TEST(OrderedInterfaceStatsTest, QuietInterfacesFollowInOrderOfLastActivity) {
    const InterfaceLastActiveMap lastActive{
        {"en0", 500}, {"utun0", 900}, {"wg0", 700}, {"en1", 900}, {"eth0", 100}};
    const std::vector<InterfaceStat> rows{
        {"en0", 0, 0, 0, 0},       // quiet since 500
        {"utun0", 0, 0, 0, 0},     // quiet since 900
        {"wg0", 0, 0, 2, 2},       // active, older stamp than en1
        {"en1", 0, 0, 1, 0},       // active, latest stamp
        {"eth0", 0, 0, 0, 0},      // quiet since 100
        {"wlan0", 9000, 1, 0, 0},  // never active: stamp 0, more bytes than tun0
        {"tun0", 10, 10, 0, 0},    // never active
        {"ppp0", 10, 10, 0, 0},    // never active, same bytes as tun0: by name
        {"bridge0", 0, 0, 99, 99}, // not monitored
    };
    EXPECT_EQ(
        ids(orderedInterfaceStats(rows, lastActive)),
        (std::vector<std::string>{"en1", "wg0", "utun0", "en0", "eth0", "wlan0", "ppp0", "tun0"}));

    // Equal stamps fall back to rate, then bytes.
    const std::vector<InterfaceStat> tied{
        {"en0", 5, 5, 1, 0}, {"en1", 5, 5, 3, 0}, {"en2", 50, 50, 1, 0}};
    EXPECT_EQ(ids(orderedInterfaceStats(tied, {{"en0", 10}, {"en1", 10}, {"en2", 10}})),
              (std::vector<std::string>{"en1", "en2", "en0"}));

    // Byte totals near the top of the counter range do not wrap around.
    const std::vector<InterfaceStat> huge{{"en0", UINT64_MAX, 2, 0, 0}, {"en1", 10, 10, 0, 0}};
    EXPECT_EQ(ids(orderedInterfaceStats(huge, {})), (std::vector<std::string>{"en0", "en1"}));
}

} // namespace
} // namespace korvel
