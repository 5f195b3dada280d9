#pragma once

#include "shared/helper_response.h"

#include <string>
#include <vector>

namespace korvel {

// Byte counters of every interface except loopback, one row per name, sorted
// by plain byte comparison of the name. Empty when the list cannot be read.
std::vector<HelperInterfaceData> readInterfaceCounters();
std::vector<HelperInterfaceData> readInterfaceCounters(const std::string& sysRoot);

} // namespace korvel
