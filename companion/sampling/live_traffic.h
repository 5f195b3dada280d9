#pragma once

#include "companion/model/interface_stat.h"
#include "shared/helper_response.h"

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// What the traffic sampler carries from one tick to the next. It never mixes
// with the helper-based baselines.
struct LiveTrafficState {
    std::unordered_map<std::string, HelperInterfaceData> livePrevInterfaces;
    double livePrevInterfaceTime = 0; // absolute time; 0 before the first tick
};

// The manager's settings and popover state as this tick sees them.
struct LiveTrafficInputs {
    bool isInteractionSuspended = false;
    bool trafficEnabled = true;
    bool isPopoverVisible = false;
    std::string currentPopoverTab = "overview";
};

// Where a tick takes its readings; the defaults read the live machine.
struct LiveTrafficSources {
    std::function<std::vector<HelperInterfaceData>()> readCounters;
    std::function<double()> now;

    static LiveTrafficSources live();
};

// What a tick asks the manager to publish.
struct LiveTrafficUpdate {
    double liveInboundRate = 0;
    double liveOutboundRate = 0;
    // False when sampling is switched off: both rates go to 0 and the
    // traffic histories are left alone.
    bool appendToHistories = false;
};

// One tick of the traffic sampler. No value when the tick publishes nothing
// (interaction suspended, or no time elapsed since the previous tick). The
// very first tick reports the helper-based rates of the last merge
// (`allInterfaceStats`) since there is no local baseline yet.
std::optional<LiveTrafficUpdate>
sampleLiveTraffic(LiveTrafficState& state, const LiveTrafficInputs& inputs,
                  const std::vector<InterfaceStat>& allInterfaceStats,
                  const LiveTrafficSources& sources);

} // namespace korvel
