#pragma once

#include <string_view>

namespace korvel {

enum class InterfaceFamily {
    physical, // Ethernet, Wi-Fi and cellular
    tunnel,   // VPNs and point-to-point links
    other,    // bridges, containers, loopback...: listed but never counted
};

// By case-sensitive name prefix. The one table of interface families.
InterfaceFamily interfaceFamily(std::string_view name);

// Monitored interfaces take part in selection, totals and peaks.
inline bool isMonitoredInterface(std::string_view name) {
    return interfaceFamily(name) != InterfaceFamily::other;
}

} // namespace korvel
