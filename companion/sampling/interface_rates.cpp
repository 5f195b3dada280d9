#include "companion/sampling/interface_rates.h"

#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_selection.h"

#include <algorithm>
#include <cstdint>

namespace korvel {
namespace {

double rate(uint64_t current, uint64_t previous, double dt) {
    return current > previous ? static_cast<double>(current - previous) / dt : 0.0;
}

uint64_t growth(uint64_t current, uint64_t previous) {
    return current > previous ? current - previous : 0;
}

} // namespace

std::vector<InterfaceStat> computeInterfaceRates(const HelperResponse& response,
                                                 const InterfaceStatsByName& previous,
                                                 double previousTime) {
    const double dt = response.timestamp - previousTime;
    std::vector<InterfaceStat> rows;
    rows.reserve(response.interfaces.size());
    for (const auto& interface : response.interfaces) {
        InterfaceStat row{interface.id, interface.bytesIn, interface.bytesOut, 0, 0};
        const auto before = previous.find(interface.id);
        if (before != previous.end() && dt > 0) {
            row.rateIn = rate(interface.bytesIn, before->second.bytesIn, dt);
            row.rateOut = rate(interface.bytesOut, before->second.bytesOut, dt);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void recordInterfaceActivity(const std::vector<InterfaceStat>& rows,
                             const InterfaceStatsByName& previous, double now,
                             InterfaceLastActiveMap& interfaceLastActiveAt,
                             TrafficSessionStats& sessionStats) {
    double inSum = 0;
    double outSum = 0;
    for (const auto& row : rows) {
        if (!isMonitored(row)) {
            continue;
        }
        if (isActiveInterface(row)) {
            interfaceLastActiveAt[row.id] = now;
        }
        inSum += row.rateIn;
        outSum += row.rateOut;
        // Session totals stop at the top of their range instead of wrapping to zero.
        if (const auto before = previous.find(row.id); before != previous.end()) {
            sessionStats.totalInboundBytes = saturatingAdd(
                sessionStats.totalInboundBytes, growth(row.bytesIn, before->second.bytesIn));
            sessionStats.totalOutboundBytes = saturatingAdd(
                sessionStats.totalOutboundBytes, growth(row.bytesOut, before->second.bytesOut));
        }
    }
    sessionStats.peakInboundRate = std::max(sessionStats.peakInboundRate, inSum);
    sessionStats.peakOutboundRate = std::max(sessionStats.peakOutboundRate, outSum);
}

InterfaceStatsByName interfaceStatsByName(const std::vector<InterfaceStat>& rows) {
    InterfaceStatsByName byName;
    byName.reserve(rows.size());
    for (const auto& row : rows) {
        byName.insert_or_assign(row.id, row);
    }
    return byName;
}

} // namespace korvel
