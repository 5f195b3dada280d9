#pragma once

#include "companion/model/interface_stat.h"
#include "companion/sampling/interface_rates.h"

#include <vector>

namespace korvel {

// Active: any traffic in the last interval.
inline bool isActiveInterface(const InterfaceStat& row) {
    return row.rateIn > 0 || row.rateOut > 0;
}

// The rows that carry the user's traffic now: the busiest active physical
// interface (if any), then every active tunnel, busiest first, ties by name.
std::vector<InterfaceStat> visibleInterfaces(const std::vector<InterfaceStat>& rows);

// All monitored rows: active first, then by total rate descending, then
// physical before tunnels, then by name.
std::vector<InterfaceStat> monitoredInterfaces(const std::vector<InterfaceStat>& rows);

// The monitored rows as the interface list shows them: active first, then the
// most recently active, then total rate, then total bytes, descending, then
// by name. An interface that went quiet stays above those quiet for longer.
std::vector<InterfaceStat>
orderedInterfaceStats(const std::vector<InterfaceStat>& rows,
                      const InterfaceLastActiveMap& interfaceLastActiveAt);

} // namespace korvel
