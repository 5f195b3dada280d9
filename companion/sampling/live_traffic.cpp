#include "companion/sampling/live_traffic.h"

#include "companion/sampling/interface_selection.h"
#include "platform/clock/absolute_time.h"
#include "platform/system/interface_counters.h"

#include <algorithm>

namespace korvel {
namespace {

bool samplingWanted(const LiveTrafficInputs& inputs) {
    const auto& tab = inputs.currentPopoverTab;
    return inputs.trafficEnabled || inputs.isPopoverVisible || tab == "overview" ||
           tab == "interfaces" || tab == "connections";
}

// A counter that is new or went down contributes nothing for this interval.
uint64_t increase(uint64_t current, std::optional<uint64_t> previous) {
    return previous && current > *previous ? current - *previous : 0;
}

std::pair<double, double> visibleRateSums(const std::vector<InterfaceStat>& rows) {
    double in = 0;
    double out = 0;
    for (const auto& row : visibleInterfaces(rows)) {
        in += row.rateIn;
        out += row.rateOut;
    }
    return {in, out};
}

// The merge has classified every interface the helper saw; one that
// appeared since falls back to its name.
std::optional<InterfaceFamily> familyInLastMerge(const std::vector<InterfaceStat>& merged,
                                                 const std::string& name) {
    const auto it = std::ranges::find(merged, name, &InterfaceStat::id);
    return it == merged.end() ? std::nullopt : it->family;
}

} // namespace

LiveTrafficSources LiveTrafficSources::live() {
    return {[] { return interfaceRows(platform::readInterfaceCounters()); },
            [] { return platform::secondsSince2001(); }};
}

std::optional<LiveTrafficUpdate>
sampleLiveTraffic(LiveTrafficState& state, const LiveTrafficInputs& inputs,
                  const std::vector<InterfaceStat>& allInterfaceStats,
                  const LiveTrafficSources& sources) {
    if (inputs.isInteractionSuspended) {
        return std::nullopt;
    }
    if (!samplingWanted(inputs)) {
        return LiveTrafficUpdate{0, 0, false};
    }
    const double now = sources.now();
    const auto counters = sources.readCounters();

    std::optional<LiveTrafficUpdate> update;
    if (state.livePrevInterfaceTime <= 0) {
        const auto [in, out] = visibleRateSums(allInterfaceStats);
        update = LiveTrafficUpdate{in, out, true};
    } else if (const double dt = now - state.livePrevInterfaceTime; dt > 0) {
        std::vector<InterfaceStat> rows;
        rows.reserve(counters.size());
        for (const auto& counter : counters) {
            std::optional<uint64_t> previousIn;
            std::optional<uint64_t> previousOut;
            if (const auto it = state.livePrevInterfaces.find(counter.id);
                it != state.livePrevInterfaces.end()) {
                previousIn = it->second.bytesIn;
                previousOut = it->second.bytesOut;
            }
            const uint64_t dIn = increase(counter.bytesIn, previousIn);
            const uint64_t dOut = increase(counter.bytesOut, previousOut);
            rows.push_back({counter.id, counter.bytesIn, counter.bytesOut,
                            static_cast<double>(dIn) / dt, static_cast<double>(dOut) / dt,
                            familyInLastMerge(allInterfaceStats, counter.id)});
        }
        const auto [in, out] = visibleRateSums(rows);
        update = LiveTrafficUpdate{in, out, true};
    }

    state.livePrevInterfaces.clear();
    for (const auto& counter : counters) {
        state.livePrevInterfaces.insert_or_assign(counter.id, counter);
    }
    state.livePrevInterfaceTime = now;
    return update;
}

} // namespace korvel
