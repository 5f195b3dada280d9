#include "platform/netpath/routing_state.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace korvel::platform::netpath {
namespace {

template <typename T> bool readStruct(const uint8_t* data, size_t length, T& out) {
    if (length < sizeof(T)) {
        return false;
    }
    std::memcpy(&out, data, sizeof(T));
    return true;
}

// Calls f(type, payload, payloadLength) for each well-formed attribute from
// offset on (past a message's fixed header); stops at the first one that
// claims more bytes than remain.
template <typename F>
void forEachAttribute(const uint8_t* data, size_t length, size_t offset, F&& f) {
    while (offset + sizeof(rtattr) <= length) {
        rtattr header{};
        std::memcpy(&header, data + offset, sizeof header);
        if (header.rta_len < sizeof(rtattr) || header.rta_len > length - offset) {
            return;
        }
        f(static_cast<uint16_t>(header.rta_type & NLA_TYPE_MASK), data + offset + RTA_LENGTH(0),
          header.rta_len - RTA_LENGTH(0));
        offset += RTA_ALIGN(header.rta_len);
    }
}

uint32_t readU32(const uint8_t* data, size_t length) {
    uint32_t value = 0;
    if (length >= sizeof value) {
        std::memcpy(&value, data, sizeof value);
    }
    return value;
}

bool isUp(uint32_t flags) {
    return (flags & IFF_UP) != 0 && (flags & (IFF_RUNNING | IFF_LOWER_UP)) != 0;
}

} // namespace

bool RoutingState::RouteHop::sameRoute(const RouteHop& other) const {
    return family == other.family && table == other.table && priority == other.priority &&
           tos == other.tos && sourceLength == other.sourceLength && source == other.source;
}

bool RoutingState::RouteHop::sameHop(const RouteHop& other) const {
    return sameRoute(other) && interfaceIndex == other.interfaceIndex && gateway == other.gateway;
}

void RoutingState::clear() {
    links_.clear();
    addressScopes_.clear();
    routes_.clear();
}

RoutingState::ApplyResult RoutingState::apply(const std::vector<uint8_t>& datagram, uint32_t seq,
                                              uint32_t portId) {
    ApplyResult result;
    size_t offset = 0;
    while (offset < datagram.size()) {
        nlmsghdr header{};
        if (!readStruct(datagram.data() + offset, datagram.size() - offset, header) ||
            header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset) {
            // A torn datagram leaves the tables in an unknown state.
            result.needsResync = true;
            result.torn = true;
            return result;
        }
        const bool ours = header.nlmsg_seq == seq && header.nlmsg_pid == portId;
        const uint8_t* payload = datagram.data() + offset + NLMSG_HDRLEN;
        const size_t payloadLength =
            header.nlmsg_len - std::min<size_t>(header.nlmsg_len, NLMSG_HDRLEN);
        if (ours && (header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
            result.dumpFailed = true;
        }
        switch (header.nlmsg_type) {
        case NLMSG_DONE:
            if (ours) {
                result.dumpDone = true;
            }
            break;
        case NLMSG_ERROR: {
            nlmsgerr error{};
            if (ours && readStruct(payload, payloadLength, error) && error.error != 0) {
                result.dumpFailed = true;
            }
            break;
        }
        case RTM_NEWLINK:
        case RTM_DELLINK:
            applyLink(header.nlmsg_type, payload, payloadLength, result);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            applyAddress(header.nlmsg_type, payload, payloadLength, result);
            break;
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            applyRoute(header.nlmsg_type, header.nlmsg_flags, payload, payloadLength);
            break;
        default:
            break;
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return result;
}

void RoutingState::applyLink(uint16_t type, const uint8_t* payload, size_t length,
                             ApplyResult& result) {
    ifinfomsg info{};
    // Bridge-port messages share the type; a bridge DELLINK only means a port
    // left its bridge.
    if (!readStruct(payload, length, info) || info.ifi_family != AF_UNSPEC) {
        return;
    }
    const int index = info.ifi_index;
    if (type == RTM_DELLINK) {
        links_.erase(index);
        std::erase_if(routes_,
                      [index](const RouteHop& hop) { return hop.interfaceIndex == index; });
        std::erase_if(addressScopes_,
                      [index](const auto& entry) { return entry.first.index == index; });
        return;
    }
    Link link;
    link.flags = info.ifi_flags;
    forEachAttribute(payload, length, NLMSG_ALIGN(sizeof(ifinfomsg)),
                     [&](uint16_t attribute, const uint8_t* data, size_t size) {
                         if (attribute == IFLA_IFNAME) {
                             link.name.assign(reinterpret_cast<const char*>(data),
                                              strnlen(reinterpret_cast<const char*>(data), size));
                         }
                     });
    auto existing = links_.find(index);
    if (existing != links_.end()) {
        if (link.name.empty()) {
            link.name = existing->second.name;
        }
        // Taking a link down removes its IPv4 routes without a notification.
        if ((existing->second.flags & IFF_UP) != 0 && (link.flags & IFF_UP) == 0) {
            result.needsResync = true;
        }
    }
    links_[index] = std::move(link);
}

void RoutingState::applyAddress(uint16_t type, const uint8_t* payload, size_t length,
                                ApplyResult& result) {
    ifaddrmsg info{};
    if (!readStruct(payload, length, info) ||
        (info.ifa_family != AF_INET && info.ifa_family != AF_INET6)) {
        return;
    }
    AddressKey key;
    key.index = static_cast<int>(info.ifa_index);
    key.family = info.ifa_family;
    key.prefixLength = info.ifa_prefixlen;
    std::vector<uint8_t> address;
    std::vector<uint8_t> local;
    forEachAttribute(payload, length, NLMSG_ALIGN(sizeof(ifaddrmsg)),
                     [&](uint16_t attribute, const uint8_t* data, size_t size) {
                         if (attribute == IFA_ADDRESS) {
                             address.assign(data, data + size);
                         } else if (attribute == IFA_LOCAL) {
                             local.assign(data, data + size);
                         }
                     });
    // On point-to-point links IFA_ADDRESS is the peer; IFA_LOCAL is ours.
    key.address = local.empty() ? address : local;
    if (type == RTM_DELADDR) {
        addressScopes_.erase(key);
        // Removing an IPv4 address drops the routes that used it, silently.
        result.needsResync = true;
        return;
    }
    addressScopes_[key] = info.ifa_scope;
}

void RoutingState::applyRoute(uint16_t type, uint16_t flags, const uint8_t* payload,
                              size_t length) {
    const auto message = parseDefaultRoute(payload, length);
    if (!message) {
        return;
    }
    std::vector<RouteHop> hops = message->hops();
    if (type == RTM_DELROUTE) {
        forgetHops(hops, message->namesHops());
        return;
    }
    storeHops(std::move(hops), message->route, (flags & NLM_F_REPLACE) != 0);
}

std::optional<RoutingState::RouteMessage> RoutingState::parseDefaultRoute(const uint8_t* payload,
                                                                          size_t length) {
    rtmsg info{};
    if (!readStruct(payload, length, info) ||
        (info.rtm_family != AF_INET && info.rtm_family != AF_INET6) || info.rtm_dst_len != 0) {
        return std::nullopt;
    }
    RouteMessage message;
    message.route.family = info.rtm_family;
    message.route.table = info.rtm_table;
    message.route.tos = info.rtm_tos;
    message.route.sourceLength = info.rtm_src_len;
    message.route.type = info.rtm_type;
    message.route.hopFlags = info.rtm_flags;
    forEachAttribute(payload, length, NLMSG_ALIGN(sizeof(rtmsg)),
                     [&](uint16_t attribute, const uint8_t* data, size_t size) {
                         message.readAttribute(attribute, data, size);
                     });
    return message;
}

void RoutingState::RouteMessage::readAttribute(uint16_t attribute, const uint8_t* data,
                                               size_t size) {
    switch (attribute) {
    case RTA_TABLE:
        route.table = readU32(data, size);
        break;
    case RTA_PRIORITY:
        route.priority = readU32(data, size);
        break;
    case RTA_SRC:
        route.source.assign(data, data + size);
        break;
    case RTA_OIF:
        route.interfaceIndex = static_cast<int>(readU32(data, size));
        hasHopAttribute = true;
        break;
    case RTA_GATEWAY:
    case RTA_VIA:
        route.gateway.assign(data, data + size);
        hasHopAttribute = true;
        break;
    case RTA_MULTIPATH:
        appendNextHops(data, size, nextHops);
        break;
    default:
        break;
    }
}

void RoutingState::appendNextHops(const uint8_t* data, size_t size, std::vector<RouteHop>& hops) {
    size_t offset = 0;
    while (offset + sizeof(rtnexthop) <= size) {
        rtnexthop nexthop{};
        std::memcpy(&nexthop, data + offset, sizeof nexthop);
        if (nexthop.rtnh_len < sizeof(rtnexthop) || nexthop.rtnh_len > size - offset) {
            break;
        }
        RouteHop hop;
        hop.interfaceIndex = nexthop.rtnh_ifindex;
        hop.hopFlags = nexthop.rtnh_flags;
        forEachAttribute(data + offset, nexthop.rtnh_len, RTNH_ALIGN(sizeof(rtnexthop)),
                         [&](uint16_t a, const uint8_t* d, size_t s) {
                             if (a == RTA_GATEWAY) {
                                 hop.gateway.assign(d, d + s);
                             }
                         });
        hops.push_back(std::move(hop));
        offset += RTNH_ALIGN(nexthop.rtnh_len);
    }
}

std::vector<RoutingState::RouteHop> RoutingState::RouteMessage::hops() const {
    if (nextHops.empty()) {
        return {route};
    }
    std::vector<RouteHop> hops;
    for (const RouteHop& nextHop : nextHops) {
        RouteHop hop = route;
        hop.interfaceIndex = nextHop.interfaceIndex;
        hop.gateway = nextHop.gateway;
        hop.hopFlags = nextHop.hopFlags | route.hopFlags;
        hops.push_back(std::move(hop));
    }
    return hops;
}

void RoutingState::forgetHops(const std::vector<RouteHop>& hops, bool byHop) {
    for (const auto& hop : hops) {
        std::erase_if(routes_, [&](const RouteHop& known) {
            return byHop ? known.sameHop(hop) : known.sameRoute(hop);
        });
    }
}

void RoutingState::storeHops(std::vector<RouteHop> hops, const RouteHop& route, bool replace) {
    if (replace) {
        std::erase_if(routes_, [&](const RouteHop& known) { return known.sameRoute(route); });
    }
    for (auto& hop : hops) {
        std::erase_if(routes_, [&](const RouteHop& known) { return known.sameHop(hop); });
        routes_.push_back(std::move(hop));
    }
}

bool RoutingState::isUsable(int index) const {
    const auto link = links_.find(index);
    return link != links_.end() && isUp(link->second.flags);
}

namespace {

std::string addressText(int family, const std::vector<uint8_t>& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const size_t wanted = family == AF_INET6 ? 16 : 4;
    if (address.size() != wanted ||
        inet_ntop(family, address.data(), text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

} // namespace

std::vector<RoutingState::DefaultRouteUse> RoutingState::usableDefaultRoutes() const {
    std::vector<const RouteHop*> usable;
    for (const auto& hop : routes_) {
        if (hop.type == RTN_UNICAST && (hop.hopFlags & RTNH_F_DEAD) == 0 &&
            isUsable(hop.interfaceIndex)) {
            usable.push_back(&hop);
        }
    }
    const auto rank = [](const RouteHop* hop) {
        return std::make_tuple(hop->priority, hop->family != AF_INET, hop->table != RT_TABLE_MAIN,
                               hop->interfaceIndex);
    };
    std::stable_sort(usable.begin(), usable.end(),
                     [&](const RouteHop* a, const RouteHop* b) { return rank(a) < rank(b); });
    std::vector<DefaultRouteUse> uses;
    uses.reserve(usable.size());
    for (const auto* hop : usable) {
        uses.push_back({hop->interfaceIndex, links_.at(hop->interfaceIndex).name,
                        hop->family == AF_INET6, hop->priority,
                        addressText(hop->family, hop->gateway)});
    }
    return uses;
}

bool RoutingState::hasRoutableAddress(bool ipv6) const {
    const int family = ipv6 ? AF_INET6 : AF_INET;
    return std::any_of(addressScopes_.begin(), addressScopes_.end(), [&](const auto& entry) {
        const auto& [key, scope] = entry;
        return key.family == family && (scope == RT_SCOPE_UNIVERSE || scope == RT_SCOPE_SITE) &&
               isUsable(key.index);
    });
}

NetworkPath
RoutingState::networkPath(const std::function<InterfaceType(const std::string&)>& typeOf,
                          bool metered,
                          const std::map<std::string, ConnectionIdentity>& connections) const {
    NetworkPath path;
    const auto uses = usableDefaultRoutes();
    if (uses.empty()) {
        return path;
    }
    path.status = PathStatus::satisfied;
    bool viaIPv4 = false;
    bool viaIPv6 = false;
    for (const auto& use : uses) {
        (use.isIPv6 ? viaIPv6 : viaIPv4) = true;
        const bool known =
            std::any_of(path.interfaces.begin(), path.interfaces.end(),
                        [&](const PathInterface& i) { return i.index == use.interfaceIndex; });
        if (!known) {
            const auto connection = connections.find(use.interfaceName);
            path.interfaces.push_back(
                {use.interfaceName, typeOf(use.interfaceName), use.interfaceIndex, use.gateway,
                 connection != connections.end() ? std::optional(connection->second)
                                                 : std::nullopt});
        }
    }
    path.supportsIPv4 = viaIPv4 && hasRoutableAddress(false);
    path.supportsIPv6 = viaIPv6 && hasRoutableAddress(true);
    path.isExpensive = metered;
    return path;
}

} // namespace korvel::platform::netpath
