#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_selection.h"

#include <gtest/gtest.h>

#include <map>
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
    for (const char* name : {"enp3s0", "eth0", "wlan0", "wwan0"}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::physical) << name;
    }
    for (const char* name : {"utun4", "ipsec0", "ppp0", "tun0", "wg0", "tailscale0"}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::tunnel) << name;
    }
    for (const char* name : {"lo", "bridge0", "docker0", "veth12ab", "EN0", "Eth0", ""}) {
        EXPECT_EQ(interfaceFamily(name), InterfaceFamily::other) << name;
        EXPECT_FALSE(isMonitored({name, 0, 0, 0, 0})) << name;
    }
}

// What users run on: a server whose route goes through a bridge over a
// bond, a container whose eth0 is a veth, Docker's bridge, a VPN.
TEST(InterfaceClassifierTest, TheDefaultRouteCountsOnceWhateverCarriesIt) {
    using platform::netpath::LinkFacts;
    using platform::netpath::LinkKind;
    const std::map<std::string, LinkFacts> machine{
        {"eth0", {LinkKind::hardware, {"bond0"}}},
        {"eth1", {LinkKind::hardware, {"bond0"}}},
        {"bond0", {LinkKind::bond, {"br0"}}},
        {"br0", {LinkKind::bridge, {}}},
        {"enp5s0", {LinkKind::hardware, {"enp5s0.7"}}},
        {"enp5s0.7", {LinkKind::vlan, {}}},
        {"docker0", {LinkKind::bridge, {}}},
        {"veth1a2b", {LinkKind::virtualLink, {"docker0"}}},
        {"wg0", {LinkKind::tunnel, {}}},
        {"lo", {LinkKind::loopback, {}}},
    };
    int reads = 0;
    InterfaceClassifier classifier([&](const std::string& name) {
        ++reads;
        const auto it = machine.find(name);
        return it == machine.end() ? LinkFacts{} : it->second;
    });
    const auto familiesWith = [&](std::vector<std::string> routes) {
        std::vector<InterfaceStat> rows;
        for (const auto& [name, facts] : machine) {
            rows.push_back({name, 0, 0, 0, 0});
        }
        rows.push_back({"tailscale0", 0, 0, 0, 0}); // unknown to sysfs: by name
        classifier.classify(rows, routes);
        std::map<std::string, InterfaceFamily> families;
        for (const auto& row : rows) {
            families[row.id] = familyOf(row);
        }
        return families;
    };
    using F = InterfaceFamily;
    EXPECT_EQ(familiesWith({"br0", "wg0"}),
              (std::map<std::string, F>{{"br0", F::physical},
                                        {"bond0", F::virtualInterface},
                                        {"eth0", F::virtualInterface},
                                        {"eth1", F::virtualInterface},
                                        {"enp5s0", F::physical},
                                        {"enp5s0.7", F::virtualInterface},
                                        {"docker0", F::virtualInterface},
                                        {"veth1a2b", F::virtualInterface},
                                        {"wg0", F::tunnel},
                                        {"lo", F::other},
                                        {"tailscale0", F::tunnel}}));
    // The route moves to the VLAN: its parent stops counting, the bond's
    // ports count again; sysfs is not read again for names already known.
    const int readsBefore = reads;
    const auto moved = familiesWith({"enp5s0.7"});
    EXPECT_EQ(reads, readsBefore);
    EXPECT_EQ(moved.at("enp5s0.7"), F::physical);
    EXPECT_EQ(moved.at("enp5s0"), F::virtualInterface);
    EXPECT_EQ(moved.at("eth0"), F::physical);
    EXPECT_EQ(moved.at("br0"), F::virtualInterface);

    // Only monitored rows reach the totals: a bridge and its port are not
    // both summed.
    std::vector<InterfaceStat> rows{{"br0", 1000, 0, 0, 0}, {"eth0", 1000, 0, 0, 0}};
    classifier.classify(rows, {"br0"});
    const InterfaceStatsByName before{{"br0", {"br0", 0, 0, 0, 0}}, {"eth0", {"eth0", 0, 0, 0, 0}}};
    InterfaceLastActiveMap lastActive;
    TrafficSessionStats session;
    recordInterfaceActivity(rows, before, 1, lastActive, session);
    EXPECT_EQ(session.totalInboundBytes, 1000u);
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
