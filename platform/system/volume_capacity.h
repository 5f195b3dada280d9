#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::platform {

struct VolumeCapacity {
    uint64_t total = 0;     // size of the file system, bytes
    uint64_t available = 0; // what an unprivileged user may still write, bytes
};

// The file system that holds `path`; no value when it cannot be queried.
std::optional<VolumeCapacity> readVolumeCapacity(const std::string& path);

} // namespace korvel::platform
