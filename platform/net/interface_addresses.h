#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {

// One IPv4 or IPv6 address of an interface, as the kernel lists it.
struct InterfaceAddress {
    std::string interfaceName;
    bool isIPv6 = false;
    // Numeric text (IPv6 link-local addresses carry a "%name" scope suffix);
    // absent when the address could not be converted.
    std::optional<std::string> numericHost;
};

// The IPv4 and IPv6 entries of the kernel's interface address list, in list
// order. No value when the list cannot be read.
std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses();

} // namespace korvel::platform
