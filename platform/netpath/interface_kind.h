#pragma once

#include "platform/netpath/network_path.h"

#include <string>
#include <vector>

namespace korvel::platform::netpath {

// The kind of an interface from <sysRoot>/class/net/<name>: wireless (a
// wireless/ directory or a phy80211 link) is Wi-Fi, a WWAN device type is
// cellular, Ethernet hardware (type 1 with a device) is wired, the loopback
// device is loopback, anything else (bridges, tunnels, virtual links) other.
InterfaceType interfaceTypeFromSysfs(const std::string& sysRoot, const std::string& name);

// What an interface is made of, as far as the views need to know: hardware,
// a device stacked on others (bridge, bond, VLAN), a tunnel, or a virtual
// link (veth, tap, dummy). Unknown when sysfs has no entry for the name.
enum class LinkKind { unknown, loopback, hardware, bridge, bond, vlan, tunnel, virtualLink };

struct LinkFacts {
    LinkKind kind = LinkKind::unknown;
    // Devices stacked on this one (its bridge or bond master, its VLANs):
    // traffic through them also passes here.
    std::vector<std::string> upperDevices;

    bool operator==(const LinkFacts&) const = default;
};

LinkFacts linkFactsFromSysfs(const std::string& sysRoot, const std::string& name);

} // namespace korvel::platform::netpath
