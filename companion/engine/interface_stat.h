#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace korvel {

// One network interface, identified by its name. Rates compare exactly, so a
// NaN rate makes a row unequal to itself.
struct InterfaceStat {
    std::string id;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double rateIn = 0; // bytes per second over the last interval
    double rateOut = 0;

    bool operator==(const InterfaceStat&) const = default;
};

using InterfaceStatsByName = std::unordered_map<std::string, InterfaceStat>;

} // namespace korvel
