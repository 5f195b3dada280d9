#pragma once

namespace korvel {

enum class NetworkPathStatus { online, offline, constrained, expensive };

// The word every view uses: Linux calls a connection that costs "metered".
inline const char* networkPathStatusText(NetworkPathStatus status) {
    switch (status) {
    case NetworkPathStatus::online:
        return "online";
    case NetworkPathStatus::offline:
        return "offline";
    case NetworkPathStatus::constrained:
        return "constrained";
    case NetworkPathStatus::expensive:
        return "metered";
    }
    return "?";
}

} // namespace korvel
