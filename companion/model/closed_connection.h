#pragma once

#include "companion/model/net_connection.h"
#include "companion/model/uuid.h"

namespace korvel {

// A socket that disappeared between two merges. Identity only, no equality.
struct ClosedConnection {
    Uuid id = Uuid::random();
    NetConnection connection; // last seen row, with its last seen state
    double closedAt = 0;      // absolute time of the merge that no longer saw it
};

} // namespace korvel
