#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform::proc {

// One DRM client as the fdinfo of its descriptor tells it (the kernel's
// drm-usage-stats keys). Descriptors that share a client, in one process or
// several, show the same device and client id: count it once.
struct DrmClient {
    std::string device; // drm-pdev, else drm-driver
    uint64_t clientId = 0;
    // drm-engine-<class>: busy nanoseconds since the client was opened.
    std::vector<std::pair<std::string, uint64_t>> engineNS;
    // Resident memory over every region (drm-resident-*), else the total
    // (drm-total-*), else the older drm-memory-*; no value when none is given.
    std::optional<uint64_t> memoryBytes;
};

// No value when the text names no client: not a DRM descriptor, or a driver
// that publishes no usage (the proprietary NVIDIA one).
std::optional<DrmClient> parseDrmFdinfo(std::string_view text);

// The storage figures of /proc/<pid>/io: bytes read from and written to the
// block layer. Truncated writes the kernel never sent (cancelled_write_bytes)
// are taken off the written bytes, as its documentation says.
struct IoCounters {
    uint64_t readBytes = 0;
    uint64_t writeBytes = 0;
};
std::optional<IoCounters> parseProcIo(std::string_view text);

} // namespace korvel::platform::proc
