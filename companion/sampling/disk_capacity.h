#pragma once

#include <cstdint>
#include <string>

namespace korvel {

struct DiskCapacity {
    uint64_t total = 0;
    uint64_t free = 0; // available to the user, not counting blocks reserved for root

    bool operator==(const DiskCapacity&) const = default;
};

// The volume of the user's home directory; zeros when it cannot be queried.
DiskCapacity readDiskCapacity();
DiskCapacity readDiskCapacity(const std::string& path);

} // namespace korvel
