#include "platform/netpath/routing_state.h"
#include "tests/platform/netpath/netlink_fixture.h"

#include <gtest/gtest.h>

namespace korvel::platform::netpath {
namespace {

using namespace korvel::testing;

InterfaceType typeByName(const std::string& name) {
    return name.starts_with("wl") ? InterfaceType::wifi : InterfaceType::wiredEthernet;
}

// eth0 (2) and wlan0 (3), both up.
RoutingState withLinks() {
    RoutingState state;
    state.apply(linkMessage(RTM_NEWLINK, 2, "eth0", kUp), 0, 0);
    state.apply(linkMessage(RTM_NEWLINK, 3, "wlan0", kUp), 0, 0);
    return state;
}

PathStatus status(const RoutingState& state) {
    return state.networkPath(typeByName, false).status;
}

std::vector<std::string> pathNames(const RoutingState& state) {
    return names(state.networkPath(typeByName, false));
}

TEST(RoutingState, WhichDefaultRoutesSatisfyThePath) {
    {
        RoutingState state = withLinks();
        // Metered alone does not make an unusable path expensive.
        EXPECT_FALSE(state.networkPath(typeByName, true).isExpensive);
        auto subnet = defaultRoute(2, 0);
        subnet.destinationLength = 24;
        state.apply(routeMessage(subnet), 0, 0);
        // Unreachable, blackhole and prohibit defaults carry nothing.
        auto unreachable = defaultRoute(2, 0);
        unreachable.routeType = RTN_UNREACHABLE;
        state.apply(routeMessage(unreachable), 0, 0);
        EXPECT_EQ(status(state), PathStatus::unsatisfied);
    }
    {
        // Up without a carrier, or administratively down: not usable.
        RoutingState state = withLinks();
        state.apply(linkMessage(RTM_NEWLINK, 2, "eth0", IFF_UP), 0, 0);
        state.apply(routeMessage(defaultRoute(2, 100)), 0, 0);
        EXPECT_EQ(status(state), PathStatus::unsatisfied);
        state.apply(linkMessage(RTM_NEWLINK, 2, "eth0", IFF_UP | IFF_LOWER_UP), 0, 0);
        EXPECT_EQ(status(state), PathStatus::satisfied);
        const auto result = state.apply(linkMessage(RTM_NEWLINK, 2, "eth0", IFF_LOWER_UP), 0, 0);
        EXPECT_TRUE(result.needsResync) << "taking a link down drops IPv4 routes silently";
        EXPECT_EQ(status(state), PathStatus::unsatisfied);
    }
    {
        // IPv6 alone satisfies, in any table, and metered makes it expensive.
        RoutingState state = withLinks();
        auto v6 = defaultRoute(3, 1024, true);
        v6.table = 1000;
        state.apply(routeMessage(v6), 0, 0);
        const auto path = state.networkPath(typeByName, true);
        EXPECT_EQ(path.status, PathStatus::satisfied);
        EXPECT_TRUE(path.isExpensive);
        EXPECT_TRUE(path.usesInterfaceType(InterfaceType::wifi));
        EXPECT_FALSE(path.supportsIPv4);
        EXPECT_FALSE(path.supportsIPv6) << "no routable IPv6 address anywhere";
        state.apply(addressMessage(RTM_NEWADDR, 3, true, Bytes(16, 0x20), 64, RT_SCOPE_LINK), 0, 0);
        EXPECT_FALSE(state.networkPath(typeByName, true).supportsIPv6);
        state.apply(addressMessage(RTM_NEWADDR, 3, true, Bytes(16, 0x21), 64, RT_SCOPE_UNIVERSE), 0,
                    0);
        EXPECT_TRUE(state.networkPath(typeByName, true).supportsIPv6);
    }
}

TEST(RoutingState, InterfacesInRoutePreferenceOrderFollowingRouteAndLinkChanges) {
    RoutingState state = withLinks();
    state.apply(routeMessage(defaultRoute(2, 600)), 0, 0);
    state.apply(routeMessage(defaultRoute(3, 100, true)), 0, 0);
    EXPECT_EQ(pathNames(state), (std::vector<std::string>{"wlan0", "eth0"}));
    // Each carries its gateway, and the connection the manager says it is on.
    const auto path = state.networkPath(typeByName, false, {{"eth0", {"Office", "u-1", "", true}}});
    EXPECT_EQ(path.interfaces[0].gateway, "2020:2020:2020:2020:2020:2020:2020:2020");
    EXPECT_EQ(path.interfaces[1].gateway, "10.0.2.1");
    EXPECT_FALSE(path.interfaces[0].connection);
    EXPECT_EQ(path.interfaces[1].connection->uuid, "u-1");
    // The same interface twice is listed once, at its best place.
    state.apply(routeMessage(defaultRoute(2, 50, true)), 0, 0);
    EXPECT_EQ(pathNames(state), (std::vector<std::string>{"eth0", "wlan0"}));
    // Equal metrics: IPv4 first.
    RoutingState tie = withLinks();
    tie.apply(routeMessage(defaultRoute(2, 100, true)), 0, 0);
    tie.apply(routeMessage(defaultRoute(3, 100)), 0, 0);
    EXPECT_EQ(pathNames(tie), (std::vector<std::string>{"wlan0", "eth0"}));
    // A multipath default uses both of its interfaces; deleting one hop leaves the other.
    RoutingState multi = withLinks();
    Route both{.metric = 10, .multipath = {{3, {10, 0, 3, 1}}, {2, {10, 0, 2, 1}}}};
    multi.apply(routeMessage(both), 0, 0);
    EXPECT_EQ(pathNames(multi), (std::vector<std::string>{"eth0", "wlan0"}));
    both.multipath.pop_back();
    multi.apply(routeMessage(both, RTM_DELROUTE), 0, 0);
    EXPECT_EQ(pathNames(multi), std::vector<std::string>{"eth0"});

    RoutingState moving = withLinks();
    moving.apply(routeMessage(defaultRoute(2, 100)), 0, 0);
    // A replaced route moves to its new interface; no stale hop stays behind.
    auto moved = defaultRoute(3, 100);
    moved.messageFlags = NLM_F_REPLACE;
    moving.apply(routeMessage(moved), 0, 0);
    EXPECT_EQ(pathNames(moving), std::vector<std::string>{"wlan0"});
    EXPECT_EQ(moving.defaultRouteCount(), 1u);
    // Deleting a route that is not there changes nothing.
    moving.apply(routeMessage(defaultRoute(2, 100), RTM_DELROUTE), 0, 0);
    EXPECT_EQ(pathNames(moving), std::vector<std::string>{"wlan0"});
    // A bridge-port removal is not the removal of the link.
    moving.apply(linkMessage(RTM_DELLINK, 3, "wlan0", kUp, AF_BRIDGE), 0, 0);
    EXPECT_EQ(pathNames(moving), std::vector<std::string>{"wlan0"});
    // Removing the link takes its routes with it, even if it returns.
    moving.apply(linkMessage(RTM_DELLINK, 3, "wlan0", kUp), 0, 0);
    moving.apply(linkMessage(RTM_NEWLINK, 3, "wlan0", kUp), 0, 0);
    EXPECT_EQ(moving.defaultRouteCount(), 0u);
    moving.apply(routeMessage(defaultRoute(2, 100)), 0, 0);
    moving.apply(linkMessage(RTM_NEWLINK, 2, "lan0", kUp), 0, 0);
    EXPECT_EQ(pathNames(moving), std::vector<std::string>{"lan0"});
}

TEST(RoutingState, DumpBookkeeping) {
    RoutingState state;
    // Answers to someone else's request, or to an older one, end nothing.
    const auto done = message(NLMSG_DONE, NLM_F_MULTI, Bytes(4, 0), 7, 99);
    EXPECT_FALSE(state.apply(done, 7, 100).dumpDone);
    EXPECT_FALSE(state.apply(done, 8, 99).dumpDone);
    EXPECT_TRUE(state.apply(done, 7, 99).dumpDone);
    Bytes refusal(sizeof(nlmsgerr), 0);
    const int busy = -16;
    std::memcpy(refusal.data(), &busy, sizeof busy);
    EXPECT_TRUE(state.apply(message(NLMSG_ERROR, 0, refusal, 7, 99), 7, 99).dumpFailed);
    // A message that claims more bytes than the datagram holds is torn.
    auto torn = linkMessage(RTM_NEWLINK, 2, "eth0", kUp);
    torn.resize(torn.size() - 4);
    const auto result = state.apply(torn, 0, 0);
    EXPECT_TRUE(result.torn);
    EXPECT_TRUE(result.needsResync);
}

} // namespace
} // namespace korvel::platform::netpath
