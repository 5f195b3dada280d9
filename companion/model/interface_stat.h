#pragma once

#include "companion/model/counters.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvel {

enum class InterfaceFamily {
    physical,         // Ethernet, Wi-Fi, cellular, and whatever carries the default route
    tunnel,           // VPNs and point-to-point links
    virtualInterface, // veth, tap, bridges, bonds and VLANs: shown, never counted
    other,            // loopback and unknown names: listed but never counted
};

// One network interface, identified by its name. Rates compare exactly, so a
// NaN rate makes a row unequal to itself.
struct InterfaceStat {
    std::string id;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double rateIn = 0; // bytes per second over the last interval
    double rateOut = 0;
    // What the machine says the interface is; without it the name decides.
    std::optional<InterfaceFamily> family = std::nullopt;
    // What it moved since the previous reading; a counter that fell (the
    // interface came back, the machine restarted) counts from zero.
    ConnectionCounters used{};

    bool operator==(const InterfaceStat&) const = default;
};

using InterfaceStatsByName = std::unordered_map<std::string, InterfaceStat>;

} // namespace korvel
