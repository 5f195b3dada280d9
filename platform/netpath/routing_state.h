#pragma once

#include "platform/netpath/network_path.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::netpath {

// The links, addresses and default routes the kernel reported, kept up to
// date from rtnetlink dumps and notifications.
class RoutingState {
public:
    struct ApplyResult {
        bool dumpDone = false;   // the answer to the dump `seq` is complete
        bool dumpFailed = false; // that dump was refused or interrupted
        // The datagram could not be parsed (torn), or reported an event after
        // which the kernel drops routes without telling: only a full re-read
        // is safe.
        bool needsResync = false;
        bool torn = false;
    };

    struct DefaultRouteUse {
        int interfaceIndex = 0;
        std::string interfaceName;
        bool isIPv6 = false;
        uint32_t metric = 0;
        std::string gateway; // numeric; empty when the route is on-link
    };

    void clear();

    // Applies one datagram. Messages stamped with seq from portId are the
    // answer to this state's own dump request; every other message is a
    // notification and is applied all the same.
    ApplyResult apply(const std::vector<uint8_t>& datagram, uint32_t seq, uint32_t portId);

    // Unicast default routes whose interface is up and has a carrier, lowest
    // metric first (then IPv4 before IPv6, then the main table, then index).
    std::vector<DefaultRouteUse> usableDefaultRoutes() const;

    // An IPv4 (IPv6) address of global or site scope on an interface that is up.
    bool hasRoutableAddress(bool ipv6) const;

    // The path these tables describe; typeOf names an interface's kind, and
    // connections the connection each interface is on.
    NetworkPath
    networkPath(const std::function<InterfaceType(const std::string&)>& typeOf, bool metered,
                const std::map<std::string, ConnectionIdentity>& connections = {}) const;

    size_t defaultRouteCount() const { return routes_.size(); }

private:
    struct Link {
        std::string name;
        uint32_t flags = 0;
    };
    struct AddressKey {
        int index = 0;
        int family = 0;
        int prefixLength = 0;
        std::vector<uint8_t> address;
        auto operator<=>(const AddressKey&) const = default;
    };
    // One next hop of a default route; a multipath route is several of these.
    struct RouteHop {
        int family = 0;
        uint32_t table = 0;
        uint32_t priority = 0;
        int tos = 0;
        int sourceLength = 0;
        std::vector<uint8_t> source;
        int type = 0;
        int interfaceIndex = 0;
        std::vector<uint8_t> gateway;
        uint32_t hopFlags = 0;

        bool sameRoute(const RouteHop& other) const;
        bool sameHop(const RouteHop& other) const;
    };

    // A route message about a default route, as far as its hops go.
    struct RouteMessage {
        RouteHop route;                 // the fields every hop shares
        std::vector<RouteHop> nextHops; // of a multipath route
        bool hasHopAttribute = false;   // an interface or gateway of its own

        void readAttribute(uint16_t attribute, const uint8_t* data, size_t size);
        // The route's own fields on every hop; a single-path route is one hop.
        std::vector<RouteHop> hops() const;
        // Whether a deletion removes only the hops named rather than the route.
        bool namesHops() const { return hasHopAttribute || !nextHops.empty(); }
    };

    static std::optional<RouteMessage> parseDefaultRoute(const uint8_t* payload, size_t length);
    static void appendNextHops(const uint8_t* data, size_t size, std::vector<RouteHop>& hops);

    void applyLink(uint16_t type, const uint8_t* payload, size_t length, ApplyResult& result);
    void applyAddress(uint16_t type, const uint8_t* payload, size_t length, ApplyResult& result);
    void applyRoute(uint16_t type, uint16_t flags, const uint8_t* payload, size_t length);
    void forgetHops(const std::vector<RouteHop>& hops, bool byHop);
    void storeHops(std::vector<RouteHop> hops, const RouteHop& route, bool replace);
    bool isUsable(int index) const;

    std::map<int, Link> links_;
    std::map<AddressKey, int> addressScopes_;
    std::vector<RouteHop> routes_;
};

} // namespace korvel::platform::netpath
