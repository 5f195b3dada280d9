#include "companion/engine/timer_periods.h"

namespace korvel {

double refreshTimerPeriod(bool isPopoverVisible, std::string_view currentPopoverTab,
                          int64_t refreshInterval) {
    if (isPopoverVisible) {
        return currentPopoverTab == "processes" || currentPopoverTab == "connections" ? 0.5 : 1.0;
    }
    return refreshInterval >= 2 ? static_cast<double>(refreshInterval) : 1.0;
}

double trafficSamplerPeriod(bool isPopoverVisible, std::string_view menuBarMetric,
                            bool trafficEnabled) {
    if (isPopoverVisible) {
        return 0.5;
    }
    if (menuBarMetric == "network") {
        return 1.0;
    }
    return trafficEnabled ? 5.0 : 15.0;
}

} // namespace korvel
