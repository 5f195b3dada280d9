#include "companion/sampling/network_path.h"

#include <gtest/gtest.h>

#include <map>

namespace korvel {
namespace {

using platform::netpath::InterfaceType;
using platform::netpath::NetworkPath;
using platform::netpath::PathStatus;

NetworkPath pathOf(bool satisfied, std::vector<InterfaceType> types, bool expensive = false,
                   bool constrained = false) {
    NetworkPath path;
    path.status = satisfied ? PathStatus::satisfied : PathStatus::unsatisfied;
    int index = 1;
    for (const auto type : types) {
        path.interfaces.push_back({"if" + std::to_string(index), type, index});
        ++index;
    }
    path.isExpensive = expensive;
    path.isConstrained = constrained;
    return path;
}

InterfaceStat row(const std::string& id, double rateIn = 0, double rateOut = 0) {
    return InterfaceStat{id, 1000, 1000, rateIn, rateOut};
}

struct CountingLookup {
    std::map<std::string, std::string> addresses;
    std::vector<std::string> calls;
    PrimaryIPAddressLookup function() {
        return [this](const std::string& name) -> std::optional<std::string> {
            calls.push_back(name);
            const auto found = addresses.find(name);
            return found == addresses.end() ? std::nullopt : std::optional(found->second);
        };
    }
};

TEST(NetworkPathSummary, StatusAndLabelTables) {
    using enum InterfaceType;
    // Low data mode on an expensive hotspot: constrained wins.
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi}, true, true)), NetworkPathStatus::constrained);
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi}, true, false)), NetworkPathStatus::expensive);
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi}, false, true)), NetworkPathStatus::constrained);
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi})), NetworkPathStatus::online);
    // Not satisfied is offline whatever else the path says.
    EXPECT_EQ(networkPathStatus(pathOf(false, {wifi}, true, true)), NetworkPathStatus::offline);

    // The fixed order decides, not the order of the path's interfaces.
    EXPECT_EQ(transportLabel(pathOf(true, {other, cellular, wiredEthernet, wifi})), "Wi-Fi");
    EXPECT_EQ(transportLabel(pathOf(true, {other, cellular, wiredEthernet})), "Ethernet");
    EXPECT_EQ(transportLabel(pathOf(true, {loopback, cellular})), "Cellular");
    EXPECT_EQ(transportLabel(pathOf(true, {other, loopback})), "Loopback");
    EXPECT_EQ(transportLabel(pathOf(true, {other})), "Other");
    EXPECT_EQ(transportLabel(pathOf(true, {})), "Unknown");
    // An unsatisfied path still names what it reports.
    EXPECT_EQ(transportLabel(pathOf(false, {wiredEthernet})), "Ethernet");
}

TEST(NetworkPathSummary, PrimaryInterfaceAndAddressCache) {
    const auto path = pathOf(true, {InterfaceType::wiredEthernet});
    CountingLookup lookup;
    lookup.addresses = {{"en0", "192.0.2.10"}, {"en1", "198.51.100.7"}};
    NetworkPathState state;

    // No traffic anywhere: the first monitored interface by name.
    const std::vector<InterfaceStat> quiet = {row("lo0"), row("utun0"), row("en1"), row("en0"),
                                              row("bridge0")};
    auto summary = updateNetworkPath(path, quiet, state, lookup.function());
    EXPECT_EQ(summary.primaryInterfaceID, "en0");
    EXPECT_EQ(summary.localAddress, "192.0.2.10");
    EXPECT_EQ(lookup.calls, std::vector<std::string>{"en0"});

    // The same primary again: the cached address, no lookup, even if the
    // interface has a new address by now.
    lookup.addresses["en0"] = "192.0.2.99";
    summary = updateNetworkPath(path, quiet, state, lookup.function());
    EXPECT_EQ(summary.localAddress, "192.0.2.10");
    EXPECT_EQ(lookup.calls.size(), 1u);

    // Traffic moves the primary; moving back looks the address up again.
    summary = updateNetworkPath(path, {row("en0", 10), row("en1", 500)}, state, lookup.function());
    EXPECT_EQ(summary.primaryInterfaceID, "en1");
    EXPECT_EQ(summary.localAddress, "198.51.100.7");
    summary = updateNetworkPath(path, {row("en0", 900), row("en1", 500)}, state, lookup.function());
    EXPECT_EQ(summary.primaryInterfaceID, "en0");
    EXPECT_EQ(summary.localAddress, "192.0.2.99");
    EXPECT_EQ(lookup.calls, (std::vector<std::string>{"en0", "en1", "en0"}));
    EXPECT_EQ(state.cachedPrimaryIPAddressByInterface.at("en0"), "192.0.2.99");

    // No address: absent, the cache keeps what it had, and the next update asks again.
    summary = updateNetworkPath(path, {row("wlan0", 5)}, state, lookup.function());
    EXPECT_EQ(summary.primaryInterfaceID, "wlan0");
    EXPECT_FALSE(summary.localAddress);
    updateNetworkPath(path, {row("wlan0", 5)}, state, lookup.function());
    EXPECT_EQ(lookup.calls.back(), "wlan0");
    EXPECT_EQ(lookup.calls.size(), 5u);
    EXPECT_EQ(state.cachedPrimaryIPAddressByInterface.size(), 2u);

    // Nothing monitored: no primary, no address, no lookup, last primary cleared.
    summary =
        updateNetworkPath(path, {row("lo", 50), row("docker0", 50)}, state, lookup.function());
    EXPECT_FALSE(summary.primaryInterfaceID);
    EXPECT_FALSE(summary.localAddress);
    EXPECT_FALSE(state.lastPrimaryInterfaceID);
    EXPECT_EQ(lookup.calls.size(), 5u);
}

TEST(NetworkPathSummary, VPNFollowsTunnelTraffic) {
    const auto path = pathOf(true, {InterfaceType::wifi});
    CountingLookup lookup;
    lookup.addresses = {{"utun3", "10.8.0.2"}};
    NetworkPathState state;
    // A busy tunnel and an idle physical interface: the tunnel leads.
    auto summary =
        updateNetworkPath(path, {row("en0"), row("utun3", 0, 40)}, state, lookup.function());
    EXPECT_EQ(summary,
              (NetworkPathSummary{NetworkPathStatus::online, "Wi-Fi", "utun3", "10.8.0.2", true}));
    // Connected but idle does not count.
    summary = updateNetworkPath(path, {row("en0", 10), row("utun3")}, state, lookup.function());
    EXPECT_FALSE(summary.isVPNActive);
    EXPECT_EQ(summary.primaryInterfaceID, "en0");
    // Linux tunnel names count too; a busy physical interface leads.
    EXPECT_FALSE(isVPNActive({row("eth0", 100), row("docker0", 100), row("lo", 100)}));
    summary =
        updateNetworkPath(path, {row("eth0", 100), row("wg0", 1000)}, state, lookup.function());
    EXPECT_EQ(summary.primaryInterfaceID, "eth0");
    EXPECT_TRUE(summary.isVPNActive);
}

} // namespace
} // namespace korvel
