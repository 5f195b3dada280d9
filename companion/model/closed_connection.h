#pragma once

#include "companion/model/net_connection.h"

#include <cstdint>
#include <optional>

namespace korvel {

// A socket that disappeared between two merges.
struct ClosedConnection {
    NetConnection connection; // last seen row, with its last seen state
    double closedAt = 0;      // absolute time of the merge that no longer saw it
    // The counters the kernel reported as it let go of the socket, which may
    // be a reading or more after it was last seen.
    std::optional<uint64_t> finalBytesIn{};
    std::optional<uint64_t> finalBytesOut{};
};

} // namespace korvel
