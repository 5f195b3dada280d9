#include "companion/sampling/network_path.h"

#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_selection.h"

#include <algorithm>
#include <array>
#include <utility>

namespace korvel {

using platform::netpath::InterfaceType;
using platform::netpath::NetworkPath;
using platform::netpath::PathStatus;

NetworkPathStatus networkPathStatus(const NetworkPath& path) {
    if (path.status != PathStatus::satisfied) {
        return NetworkPathStatus::offline;
    }
    if (path.isExpensive) {
        return NetworkPathStatus::expensive;
    }
    return NetworkPathStatus::online;
}

std::string transportLabel(const NetworkPath& path) {
    static constexpr std::array<std::pair<InterfaceType, const char*>, 5> kLabels = {{
        {InterfaceType::wifi, "Wi-Fi"},
        {InterfaceType::wiredEthernet, "Ethernet"},
        {InterfaceType::cellular, "Cellular"},
        {InterfaceType::loopback, "Loopback"},
        {InterfaceType::other, "Other"},
    }};
    for (const auto& [type, label] : kLabels) {
        if (path.usesInterfaceType(type)) {
            return label;
        }
    }
    return "Unknown";
}

std::vector<NetworkAttachment> networkAttachments(const platform::netpath::NetworkPath& path) {
    std::vector<NetworkAttachment> networks;
    for (const auto& interface : path.interfaces) {
        if (interface.type == platform::netpath::InterfaceType::loopback) {
            continue;
        }
        // The manager's own verdict is about the primary connection, the first.
        const bool primaryMetered = networks.empty() && path.isExpensive;
        NetworkAttachment& network = networks.emplace_back();
        network.interface = interface.name;
        network.gateway = interface.gateway;
        if (interface.connection && !interface.connection->uuid.empty()) {
            network.key = interface.connection->uuid;
            network.uuid = interface.connection->uuid;
            network.name =
                interface.connection->id.empty() ? network.key : interface.connection->id;
            network.ssid = interface.connection->ssid;
            network.metered = interface.connection->metered || primaryMetered;
        } else {
            network.key = interface.gateway.empty() ? interface.name
                                                    : interface.name + " via " + interface.gateway;
            network.name = network.key;
            network.metered = primaryMetered;
        }
    }
    return networks;
}

bool isVPNActive(const std::vector<InterfaceStat>& allInterfaceStats) {
    return std::ranges::any_of(allInterfaceStats, [](const InterfaceStat& row) {
        return familyOf(row) == InterfaceFamily::tunnel && isActiveInterface(row);
    });
}

NetworkPathSummary updateNetworkPath(const NetworkPath& path,
                                     const std::vector<InterfaceStat>& allInterfaceStats,
                                     NetworkPathState& state,
                                     const PrimaryIPAddressLookup& primaryIPAddress) {
    NetworkPathSummary summary;
    summary.status = networkPathStatus(path);
    summary.transportLabel = transportLabel(path);

    auto candidates = visibleInterfaces(allInterfaceStats);
    if (candidates.empty()) {
        candidates = monitoredInterfaces(allInterfaceStats);
    }
    if (!candidates.empty()) {
        const std::string& primary = candidates.front().id;
        summary.primaryInterfaceID = primary;
        const auto cached = state.cachedPrimaryIPAddressByInterface.find(primary);
        if (state.lastPrimaryInterfaceID == primary &&
            cached != state.cachedPrimaryIPAddressByInterface.end()) {
            summary.localAddress = cached->second;
        } else if (primaryIPAddress) {
            summary.localAddress = primaryIPAddress(primary);
            if (summary.localAddress) {
                state.cachedPrimaryIPAddressByInterface[primary] = *summary.localAddress;
            }
        }
    }
    summary.isVPNActive = isVPNActive(allInterfaceStats);
    state.lastPrimaryInterfaceID = summary.primaryInterfaceID;
    return summary;
}

} // namespace korvel
