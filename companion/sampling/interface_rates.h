#pragma once

#include "companion/model/interface_stat.h"
#include "companion/model/traffic_session_stats.h"
#include "shared/helper_response.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// Absolute time at which each monitored interface was last seen active.
using InterfaceLastActiveMap = std::unordered_map<std::string, double>;

// Rows in the response's order with rates against the previous reading. An
// interface without a previous row, a counter that went down and a
// non-positive interval all give a rate of 0.
std::vector<InterfaceStat> computeInterfaceRates(const HelperResponse& response,
                                                 const InterfaceStatsByName& previous,
                                                 double previousTime);

// Marks active monitored rows as active at `now`, raises the session peaks to
// the summed rates and adds the counters' growth since `previous` to the
// session totals. Rows of other families take no part.
void recordInterfaceActivity(const std::vector<InterfaceStat>& rows,
                             const InterfaceStatsByName& previous, double now,
                             InterfaceLastActiveMap& interfaceLastActiveAt,
                             TrafficSessionStats& sessionStats);

// Rows keyed by name, for the next reading's `previous`.
InterfaceStatsByName interfaceStatsByName(const std::vector<InterfaceStat>& rows);

} // namespace korvel
