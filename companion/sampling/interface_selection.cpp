#include "companion/sampling/interface_selection.h"

#include "companion/sampling/interface_family.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace korvel {
namespace {

double totalRate(const InterfaceStat& row) {
    return row.rateIn + row.rateOut;
}

// Saturates rather than wrapping, so a counter near the top of its range
// still sorts as a large one.
uint64_t totalBytes(const InterfaceStat& row) {
    return saturatingAdd(row.bytesIn, row.bytesOut);
}

// Busiest first; equal rates by name so the choice does not flicker.
bool busierThan(const InterfaceStat& a, const InterfaceStat& b) {
    if (totalRate(a) != totalRate(b)) {
        return totalRate(a) > totalRate(b);
    }
    return a.id < b.id;
}

std::vector<InterfaceStat> activeOfFamily(const std::vector<InterfaceStat>& rows,
                                          InterfaceFamily family) {
    std::vector<InterfaceStat> selected;
    std::ranges::copy_if(rows, std::back_inserter(selected), [family](const InterfaceStat& row) {
        return isActiveInterface(row) && familyOf(row) == family;
    });
    std::stable_sort(selected.begin(), selected.end(), busierThan);
    return selected;
}

} // namespace

std::vector<InterfaceStat> visibleInterfaces(const std::vector<InterfaceStat>& rows) {
    std::vector<InterfaceStat> visible = activeOfFamily(rows, InterfaceFamily::physical);
    if (visible.size() > 1) {
        visible.resize(1);
    }
    const auto tunnels = activeOfFamily(rows, InterfaceFamily::tunnel);
    visible.insert(visible.end(), tunnels.begin(), tunnels.end());
    return visible;
}

std::vector<InterfaceStat> monitoredInterfaces(const std::vector<InterfaceStat>& rows) {
    std::vector<InterfaceStat> monitored;
    std::ranges::copy_if(rows, std::back_inserter(monitored), isMonitored);
    std::stable_sort(monitored.begin(), monitored.end(),
                     [](const InterfaceStat& a, const InterfaceStat& b) {
                         if (isActiveInterface(a) != isActiveInterface(b)) {
                             return isActiveInterface(a);
                         }
                         // Linux tunnel names ("tailscale0", "tun0") sort before
                         // "wlan0": by name alone an idle VPN would lead.
                         const bool aPhysical = familyOf(a) == InterfaceFamily::physical;
                         if (totalRate(a) == totalRate(b) &&
                             aPhysical != (familyOf(b) == InterfaceFamily::physical)) {
                             return aPhysical;
                         }
                         return busierThan(a, b);
                     });
    return monitored;
}

std::vector<InterfaceStat>
orderedInterfaceStats(const std::vector<InterfaceStat>& rows,
                      const InterfaceLastActiveMap& interfaceLastActiveAt) {
    const auto lastActive = [&](const InterfaceStat& row) {
        const auto it = interfaceLastActiveAt.find(row.id);
        return it == interfaceLastActiveAt.end() ? 0.0 : it->second;
    };
    std::vector<InterfaceStat> ordered = monitoredInterfaces(rows);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [&](const InterfaceStat& a, const InterfaceStat& b) {
                         if (isActiveInterface(a) != isActiveInterface(b)) {
                             return isActiveInterface(a);
                         }
                         if (lastActive(a) != lastActive(b)) {
                             return lastActive(a) > lastActive(b);
                         }
                         if (totalRate(a) != totalRate(b)) {
                             return totalRate(a) > totalRate(b);
                         }
                         if (totalBytes(a) != totalBytes(b)) {
                             return totalBytes(a) > totalBytes(b);
                         }
                         return a.id < b.id;
                     });
    return ordered;
}

} // namespace korvel
