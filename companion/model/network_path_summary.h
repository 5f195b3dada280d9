#pragma once

#include "companion/model/network_path_status.h"

#include <optional>
#include <string>

namespace korvel {

// The default network path; the start value is what the views show before
// the first path update.
struct NetworkPathSummary {
    NetworkPathStatus status = NetworkPathStatus::offline;
    std::string transportLabel = "Unknown";
    std::optional<std::string> primaryInterfaceID;
    std::optional<std::string> localAddress;
    bool isVPNActive = false;

    bool operator==(const NetworkPathSummary&) const = default;
};

} // namespace korvel
