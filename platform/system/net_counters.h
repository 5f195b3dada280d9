#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {

// One link-level entry of the kernel's interface list with its byte counters
// (full 64-bit values, as sysfs gives them).
struct LinkCounters {
    std::string name;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
};

// The interfaces under <sysRoot>/class/net in directory order. An interface
// whose counters cannot be read is left out; no value when the directory
// cannot be listed.
std::optional<std::vector<LinkCounters>> readLinkCounters(const std::string& sysRoot);

} // namespace korvel::platform
