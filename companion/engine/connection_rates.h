#pragma once

#include "companion/engine/net_process.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// The byte counters of one socket as the last merged reading saw them. The key
// names the socket: pid, protocol, both addresses and both ports.
struct ConnectionCounters {
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
};
using ConnectionCountersByKey = std::unordered_map<std::string, ConnectionCounters>;

std::string connectionCounterKey(const NetConnection& connection);

// Sets rateIn/rateOut (bytes per second) on every socket of the new reading
// whose counters the previous reading also had, and on each process the sum
// over its sockets (a socket listed twice in one process counts once). No
// rate on first sight, when no time passed, or when a counter went down: the
// kernel counters of one socket only grow, so that is a new socket behind the
// same addresses. Returns the counters to keep for the next reading.
ConnectionCountersByKey applyConnectionRates(std::vector<NetProcess>& processes,
                                             const ConnectionCountersByKey& previous,
                                             double elapsedSeconds);

} // namespace korvel
