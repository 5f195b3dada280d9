#pragma once

#include "companion/model/net_process.h"
#include "shared/helper_response.h"

#include <vector>

namespace korvel::platform::desktop {
class ApplicationRegistry;
}

namespace korvel {

// The processes of a reading that run an installed application, with the
// application's localized name and icon, by pid (the first row of a repeated
// pid wins). Reads only the registry's index in memory.
RunningApplicationsByPID
runningApplications(const std::vector<HelperProcessData>& processes,
                    const platform::desktop::ApplicationRegistry& registry);

} // namespace korvel
