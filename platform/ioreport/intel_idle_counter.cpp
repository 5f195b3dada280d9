#include "platform/ioreport/intel_idle_counter.h"

#include "platform/system/sysfs_entries.h"

#include <algorithm>

namespace korvel::platform::ioreport {

IntelIdleCounter::IntelIdleCounter(std::string cardDir, std::string residencyPath,
                                   MonotonicClock clock)
    : deviceDir_(std::move(cardDir) + "/device"), residencyPath_(std::move(residencyPath)),
      clock_(std::move(clock)) {}

std::optional<std::string> IntelIdleCounter::residencyPath(const std::string& cardDir) {
    for (const char* relative : {"/power/rc6_residency_ms", "/gt/gt0/rc6_residency_ms",
                                 "/device/tile0/gt0/gtidle/idle_residency_ms"}) {
        std::string path = cardDir + relative;
        if (sysfs::pathExists(path)) {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<GPUCounterReading> IntelIdleCounter::read() {
    GPUCounterReading reading;
    reading.monotonicMicros = clock_();
    // The driver wakes the GPU to answer, so a sleeping one is not asked.
    if (!sysfs::deviceIsAwake(deviceDir_)) {
        reading.awake = false;
        return reading;
    }
    const auto idleMillis = sysfs::readSigned(residencyPath_);
    if (!idleMillis) {
        return std::nullopt;
    }
    reading.values.push_back(*idleMillis);
    return reading;
}

std::optional<std::vector<StateResidency>>
IntelIdleCounter::residencies(const GPUCounterReading& first,
                              const GPUCounterReading& second) const {
    if (first.values.size() != 1 || second.values.size() != 1) {
        return std::nullopt;
    }
    const int64_t elapsed = second.monotonicMicros - first.monotonicMicros;
    const int64_t idle = (second.values[0] - first.values[0]) * 1000;
    if (elapsed <= 0 || idle < 0) {
        return std::nullopt;
    }
    // The counter's millisecond steps can overshoot a short window.
    return std::vector<StateResidency>{{"IDLE", std::min(idle, elapsed)},
                                       {"BUSY", std::max<int64_t>(elapsed - idle, 0)}};
}

} // namespace korvel::platform::ioreport
