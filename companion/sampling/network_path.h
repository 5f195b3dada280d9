#pragma once

#include "companion/model/interface_stat.h"
#include "companion/model/network_attachment.h"
#include "companion/model/network_path_status.h"
#include "companion/model/network_path_summary.h"
#include "platform/netpath/network_path.h"

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// What the path summary remembers between updates. Owned by the manager and
// touched on the main queue only.
struct NetworkPathState {
    // Interface name -> the address last found for it; only grows.
    std::unordered_map<std::string, std::string> cachedPrimaryIPAddressByInterface;
    // The primary interface of the previous update.
    std::optional<std::string> lastPrimaryInterfaceID;
};

// Interface name -> its numeric address, or none.
using PrimaryIPAddressLookup = std::function<std::optional<std::string>(const std::string&)>;

// Offline unless satisfied, then expensive where the connection is metered;
// Linux has no low-data mode, so a path is never constrained.
NetworkPathStatus networkPathStatus(const platform::netpath::NetworkPath& path);

// "Wi-Fi", "Ethernet", "Cellular", "Loopback", "Other" for the first kind the
// path uses in that order, else "Unknown". These are the localisation keys.
std::string transportLabel(const platform::netpath::NetworkPath& path);

// The network each interface of the path is on; loopback is on none.
std::vector<NetworkAttachment> networkAttachments(const platform::netpath::NetworkPath& path);

// A tunnel interface that carried traffic in the last interval.
bool isVPNActive(const std::vector<InterfaceStat>& allInterfaceStats);

// The summary for this path and traffic. The primary interface follows the
// traffic (the busiest physical interface, then the busiest tunnel; with no
// traffic, the first monitored interface), not the path. Its address is looked
// up only when the primary interface changed or has no cached address yet.
NetworkPathSummary updateNetworkPath(const platform::netpath::NetworkPath& path,
                                     const std::vector<InterfaceStat>& allInterfaceStats,
                                     NetworkPathState& state,
                                     const PrimaryIPAddressLookup& primaryIPAddress);

} // namespace korvel
