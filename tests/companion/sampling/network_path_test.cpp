#include "companion/sampling/network_path.h"
#include "companion/sampling/primary_ip_address.h"

#include <gtest/gtest.h>

#include <map>

namespace korvel {
namespace {

using platform::netpath::InterfaceType;
using platform::netpath::NetworkPath;
using platform::netpath::PathStatus;

NetworkPath pathOf(bool satisfied, std::vector<InterfaceType> types, bool expensive = false) {
    NetworkPath path;
    path.status = satisfied ? PathStatus::satisfied : PathStatus::unsatisfied;
    for (int i = 0; i < static_cast<int>(types.size()); ++i) {
        path.interfaces.push_back({"if" + std::to_string(i + 1), types[i], i + 1});
    }
    path.isExpensive = expensive;
    return path;
}

InterfaceStat row(const std::string& id, double rateIn = 0, double rateOut = 0) {
    return InterfaceStat{id, 1000, 1000, rateIn, rateOut};
}

using Primary = std::pair<std::optional<std::string>, std::optional<std::string>>;

// Updates `state` from `rows`, answering address lookups from `addresses` and
// noting each interface asked about in `calls`.
struct PathUpdater {
    NetworkPath path;
    std::map<std::string, std::string> addresses;
    NetworkPathState state{};
    std::vector<std::string> calls{};
    NetworkPathSummary summary(const std::vector<InterfaceStat>& rows) {
        return updateNetworkPath(path, rows, state, [this](const std::string& name) {
            calls.push_back(name);
            return addresses.contains(name) ? std::optional(addresses[name]) : std::nullopt;
        });
    }
    Primary primary(const std::vector<InterfaceStat>& rows) {
        const auto s = summary(rows);
        return {s.primaryInterfaceID, s.localAddress};
    }
};

TEST(NetworkPathSummary, StatusAndLabelTables) {
    using enum InterfaceType;
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi}, true)), NetworkPathStatus::expensive);
    EXPECT_EQ(networkPathStatus(pathOf(true, {wifi})), NetworkPathStatus::online);
    // Not satisfied is offline whatever else the path says.
    EXPECT_EQ(networkPathStatus(pathOf(false, {wifi}, true)), NetworkPathStatus::offline);

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
    PathUpdater update{pathOf(true, {InterfaceType::wiredEthernet}),
                       {{"en0", "192.0.2.10"}, {"en1", "198.51.100.7"}}};

    // No traffic anywhere: the first monitored interface by name.
    const std::vector<InterfaceStat> quiet = {row("lo0"), row("utun0"), row("en1"), row("en0"),
                                              row("bridge0")};
    EXPECT_EQ(update.primary(quiet), (Primary{"en0", "192.0.2.10"}));
    EXPECT_EQ(update.calls, std::vector<std::string>{"en0"});

    // The same primary again: the cached address, no lookup, even if the
    // interface has a new address by now.
    update.addresses["en0"] = "192.0.2.99";
    EXPECT_EQ(update.primary(quiet), (Primary{"en0", "192.0.2.10"}));
    EXPECT_EQ(update.calls.size(), 1u);

    // Traffic moves the primary; moving back looks the address up again.
    EXPECT_EQ(update.primary({row("en0", 10), row("en1", 500)}), (Primary{"en1", "198.51.100.7"}));
    EXPECT_EQ(update.primary({row("en0", 900), row("en1", 500)}), (Primary{"en0", "192.0.2.99"}));
    EXPECT_EQ(update.calls, (std::vector<std::string>{"en0", "en1", "en0"}));
    EXPECT_EQ(update.state.cachedPrimaryIPAddressByInterface.at("en0"), "192.0.2.99");

    // No address: absent, the cache keeps what it had, and the next update asks again.
    EXPECT_EQ(update.primary({row("wlan0", 5)}), (Primary{"wlan0", std::nullopt}));
    update.primary({row("wlan0", 5)});
    EXPECT_EQ(update.calls.back(), "wlan0");
    EXPECT_EQ(update.calls.size(), 5u);
    EXPECT_EQ(update.state.cachedPrimaryIPAddressByInterface.size(), 2u);

    // Nothing monitored: no primary, no address, no lookup, last primary cleared.
    EXPECT_EQ(update.primary({row("lo", 50), row("docker0", 50)}), Primary{});
    EXPECT_FALSE(update.state.lastPrimaryInterfaceID);
    EXPECT_EQ(update.calls.size(), 5u);
}

TEST(NetworkPathSummary, VPNFollowsTunnelTraffic) {
    PathUpdater update{pathOf(true, {InterfaceType::wifi}), {{"utun3", "10.8.0.2"}}};
    // A busy tunnel and an idle physical interface: the tunnel leads.
    EXPECT_EQ(update.summary({row("en0"), row("utun3", 0, 40)}),
              (NetworkPathSummary{NetworkPathStatus::online, "Wi-Fi", "utun3", "10.8.0.2", true}));
    // Connected but idle does not count.
    auto summary = update.summary({row("en0", 10), row("utun3")});
    EXPECT_FALSE(summary.isVPNActive);
    EXPECT_EQ(summary.primaryInterfaceID, "en0");
    // Linux tunnel names count too; a busy physical interface leads.
    EXPECT_FALSE(isVPNActive({row("eth0", 100), row("docker0", 100), row("lo", 100)}));
    summary = update.summary({row("eth0", 100), row("wg0", 1000)});
    EXPECT_EQ(summary.primaryInterfaceID, "eth0");
    EXPECT_TRUE(summary.isVPNActive);
}

// The manager's metered verdict is about its primary connection alone; a
// network without a connection is its interface and gateway.
TEST(NetworkAttachmentsTest, ConnectionsByUuidElseInterfaceAndGatewayLoopbackNever) {
    NetworkPath path = pathOf(true,
                              {InterfaceType::wifi, InterfaceType::wiredEthernet,
                               InterfaceType::loopback, InterfaceType::cellular},
                              true);
    path.interfaces[0].connection = platform::netpath::ConnectionIdentity{"Home", "u-1", "HomeNet"};
    path.interfaces[1].gateway = "192.0.2.1";
    path.interfaces[3].connection = platform::netpath::ConnectionIdentity{"Phone", "u-2", "", true};
    const auto networks = networkAttachments(path);
    ASSERT_EQ(networks.size(), 3u);
    EXPECT_EQ(networks[0], (NetworkAttachment{"if1", "u-1", "Home", "u-1", "HomeNet", "", true}));
    EXPECT_EQ(networks[1].key, "if2 via 192.0.2.1");
    EXPECT_FALSE(networks[1].metered) << "not the primary connection";
    EXPECT_TRUE(networks[2].metered) << "the device's own verdict";
}

using platform::InterfaceAddress;

TEST(PrimaryIPAddressTest, IPv4FirstThenGlobalIPv6NeverLoopbackOrLinkLocal) {
    const std::vector<InterfaceAddress> addresses{
        {"en0", true, "fe80::1c2b:3aff:fe4d:5e6f%en0"},
        {"en0", false, "127.0.0.1"},
        {"en0", true, "::1"},
        {"wlan0", true, "2001:db8::7"},
        {"wlan0", false, std::nullopt}, // could not be converted to text
        {"wlan0", false, "198.51.100.4"},
        {"wlan0", false, "198.51.100.5"},
        {"wg0", true, "fe80::2%wg0"},
        {"wg0", true, "fd00::2"},
    };
    EXPECT_EQ(primaryIPAddress("en0", addresses), std::nullopt);
    EXPECT_EQ(primaryIPAddress("wlan", addresses), std::nullopt); // exact name only
    EXPECT_EQ(primaryIPAddress("wlan0", addresses), "198.51.100.4");
    EXPECT_EQ(primaryIPAddress("wg0", addresses), "fd00::2");
}

} // namespace
} // namespace korvel
