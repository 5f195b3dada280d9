#pragma once

#include "platform/ioreport/ioreport_library.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvel::platform::ioreport {

// Microseconds of a monotonic clock.
using MonotonicClock = std::function<int64_t()>;

MonotonicClock liveMonotonicClock();

struct GPUCounterReading {
    // False when the device was asleep: it was then not read, and did no work.
    bool awake = true;
    int64_t monotonicMicros = 0;
    // Counter-specific figures.
    std::vector<int64_t> values;
};

// One GPU's own activity counter, read without root.
class GPUCounter {
public:
    virtual ~GPUCounter() = default;

    // No value when the counter cannot be read.
    virtual std::optional<GPUCounterReading> read() = 0;

    // The states between two awake readings; no value when they do not compare.
    virtual std::optional<std::vector<StateResidency>>
    residencies(const GPUCounterReading& first, const GPUCounterReading& second) const = 0;
};

// "BUSY" and "IDLE" in hundredths of a window from two instantaneous busy
// percentages; no value when either lies outside 0 to 100.
std::optional<std::vector<StateResidency>> busyPercentResidencies(int64_t first, int64_t second);

} // namespace korvel::platform::ioreport
