#pragma once

#include <cstdint>
#include <limits>

namespace korvel {

// Counters add up over a whole uptime and across processes: a sum that would
// pass 2^64 stays at the top rather than wrap round to a small number, so a
// total never falls (a helper that lies near the top cannot make one).
inline uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

// Bytes received and sent: a socket's cumulative counters, or what something
// moved over an interval.
struct ConnectionCounters {
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;

    ConnectionCounters& operator+=(const ConnectionCounters& more) {
        bytesIn = saturatingAdd(bytesIn, more.bytesIn);
        bytesOut = saturatingAdd(bytesOut, more.bytesOut);
        return *this;
    }
    bool any() const { return bytesIn != 0 || bytesOut != 0; }
    bool operator==(const ConnectionCounters&) const = default;
};

} // namespace korvel
