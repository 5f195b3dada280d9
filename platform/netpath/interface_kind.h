#pragma once

#include "platform/netpath/network_path.h"

#include <string>

namespace korvel::platform::netpath {

// The kind of an interface from <sysRoot>/class/net/<name>: wireless (a
// wireless/ directory or a phy80211 link) is Wi-Fi, a WWAN device type is
// cellular, Ethernet hardware (type 1 with a device) is wired, the loopback
// device is loopback, anything else (bridges, tunnels, virtual links) other.
InterfaceType interfaceTypeFromSysfs(const std::string& sysRoot, const std::string& name);

} // namespace korvel::platform::netpath
