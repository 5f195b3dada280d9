#pragma once

#include "platform/ioreport/gpu_counter.h"

#include <string>

namespace korvel::platform::ioreport {

// The busy percentage the amdgpu driver publishes for a card (device/gpu_busy_percent).
class AmdBusyCounter : public GPUCounter {
public:
    // cardDir: <sys>/class/drm/cardN
    AmdBusyCounter(std::string cardDir, MonotonicClock clock);

    static bool isPresent(const std::string& cardDir);

    std::optional<GPUCounterReading> read() override;
    std::optional<std::vector<StateResidency>>
    residencies(const GPUCounterReading& first, const GPUCounterReading& second) const override;

private:
    std::string deviceDir_;
    MonotonicClock clock_;
};

} // namespace korvel::platform::ioreport
