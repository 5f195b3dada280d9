#pragma once

#include <cstdint>
#include <string_view>

namespace korvel {

// Seconds between helper requests: fast while a popover shows a list, else the
// user's interval, never under one second.
double refreshTimerPeriod(bool isPopoverVisible, std::string_view currentPopoverTab,
                          int64_t refreshInterval);

// Seconds between live traffic samples.
double trafficSamplerPeriod(bool isPopoverVisible, std::string_view menuBarMetric,
                            bool trafficEnabled);

} // namespace korvel
