#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::netpath {

enum class PathStatus { satisfied, unsatisfied };

// The kind of link an interface is, as the views name it.
enum class InterfaceType { wifi, wiredEthernet, cellular, loopback, other };

// A connection the connection manager has active: what tells one network
// the machine joins from another.
struct ConnectionIdentity {
    std::string id; // the name the user knows it by
    std::string uuid;
    std::string ssid; // Wi-Fi only
    bool metered = false;

    bool operator==(const ConnectionIdentity&) const = default;
};

struct PathInterface {
    std::string name;
    InterfaceType type = InterfaceType::other;
    int index = 0;
    std::string gateway = {}; // the default route's next hop, numeric; empty when on-link
    std::optional<ConnectionIdentity> connection = std::nullopt;

    bool operator==(const PathInterface&) const = default;
};

// The machine's default network path at one moment.
struct NetworkPath {
    PathStatus status = PathStatus::unsatisfied;
    // The interfaces that carry a usable default route, preferred route first.
    std::vector<PathInterface> interfaces;
    bool isExpensive = false;
    bool supportsIPv4 = false;
    bool supportsIPv6 = false;

    bool usesInterfaceType(InterfaceType type) const {
        for (const auto& interface : interfaces) {
            if (interface.type == type) {
                return true;
            }
        }
        return false;
    }

    bool operator==(const NetworkPath&) const = default;
};

} // namespace korvel::platform::netpath
