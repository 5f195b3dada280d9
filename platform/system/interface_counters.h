#pragma once

#include "platform/system/net_counters.h"

#include <string>
#include <vector>

namespace korvel::platform {

// Byte counters of every interface except loopback, one row per name, sorted
// by plain byte comparison of the name. Empty when the list cannot be read.
std::vector<LinkCounters> readInterfaceCounters();
std::vector<LinkCounters> readInterfaceCounters(const std::string& sysRoot);

} // namespace korvel::platform
