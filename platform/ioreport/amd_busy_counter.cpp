#include "platform/ioreport/amd_busy_counter.h"

#include "platform/system/sysfs_entries.h"

namespace korvel::platform::ioreport {

AmdBusyCounter::AmdBusyCounter(std::string cardDir, MonotonicClock clock)
    : deviceDir_(std::move(cardDir) + "/device"), clock_(std::move(clock)) {}

bool AmdBusyCounter::isPresent(const std::string& cardDir) {
    return sysfs::pathExists(cardDir + "/device/gpu_busy_percent");
}

std::optional<GPUCounterReading> AmdBusyCounter::read() {
    GPUCounterReading reading;
    reading.monotonicMicros = clock_();
    if (!sysfs::deviceIsAwake(deviceDir_)) {
        reading.awake = false;
        return reading;
    }
    const auto percent = sysfs::readSigned(deviceDir_ + "/gpu_busy_percent");
    if (!percent) {
        return std::nullopt;
    }
    reading.values.push_back(*percent);
    return reading;
}

std::optional<std::vector<StateResidency>>
AmdBusyCounter::residencies(const GPUCounterReading& first, const GPUCounterReading& second) const {
    if (first.values.size() != 1 || second.values.size() != 1) {
        return std::nullopt;
    }
    return busyPercentResidencies(first.values[0], second.values[0]);
}

} // namespace korvel::platform::ioreport
