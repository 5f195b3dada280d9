#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The host name the system's resolver gives for a numeric IPv4 or IPv6
// address (an IPv4-mapped IPv6 address is asked as its IPv4 address). No
// value when the text is not an address or nothing names it. Blocks for as
// long as the resolver takes: call it off the main thread.
std::optional<std::string> hostNameForAddress(const std::string& address);

} // namespace korvel::platform
