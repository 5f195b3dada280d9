#pragma once

#include <cstdint>

namespace korvel {

// Traffic since launch over the monitored interfaces.
struct TrafficSessionStats {
    uint64_t totalInboundBytes = 0;
    uint64_t totalOutboundBytes = 0;
    double peakInboundRate = 0; // bytes per second
    double peakOutboundRate = 0;

    bool operator==(const TrafficSessionStats&) const = default;
};

} // namespace korvel
