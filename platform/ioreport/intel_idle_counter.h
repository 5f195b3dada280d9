#pragma once

#include "platform/ioreport/gpu_counter.h"

#include <optional>
#include <string>

namespace korvel::platform::ioreport {

// Time an Intel GPU spent in its idle power state (RC6), in milliseconds,
// against the time that passed: i915's rc6_residency_ms or xe's gtidle counter.
class IntelIdleCounter : public GPUCounter {
public:
    IntelIdleCounter(std::string cardDir, std::string residencyPath, MonotonicClock clock);

    // The card's idle residency attribute, when it has one.
    static std::optional<std::string> residencyPath(const std::string& cardDir);

    std::optional<GPUCounterReading> read() override;
    std::optional<std::vector<StateResidency>>
    residencies(const GPUCounterReading& first, const GPUCounterReading& second) const override;

private:
    std::string deviceDir_;
    std::string residencyPath_;
    MonotonicClock clock_;
};

} // namespace korvel::platform::ioreport
