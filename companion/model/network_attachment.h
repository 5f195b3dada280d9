#pragma once

#include <string>

namespace korvel {

// The network an interface was on at one reading: what that network's data
// usage is kept under. With a connection manager it is the active
// connection; without one, the interface and the gateway it routes through,
// so that a laptop moving between networks keeps an account for each.
struct NetworkAttachment {
    std::string interface;
    std::string key;  // the connection's UUID, else "<interface> via <gateway>"
    std::string name; // the connection's id, else the key
    std::string uuid;
    std::string ssid;
    std::string gateway;
    bool metered = false;

    bool operator==(const NetworkAttachment&) const = default;
};

} // namespace korvel
