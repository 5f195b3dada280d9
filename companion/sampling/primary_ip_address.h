#pragma once

#include "platform/net/interface_addresses.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The interface's first IPv4 address, else its first IPv6 one, leaving out
// loopback and IPv6 link-local addresses. Absent when there is none or the
// list cannot be read.
std::optional<std::string> primaryIPAddress(std::string_view interfaceName);
std::optional<std::string>
primaryIPAddress(std::string_view interfaceName,
                 const std::vector<platform::InterfaceAddress>& addresses);

} // namespace korvel
