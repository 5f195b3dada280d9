#pragma once

#include "platform/ioreport/gpu_counter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform::ioreport {

struct FrequencyTime {
    uint64_t frequency = 0;
    int64_t millis = 0;

    bool operator==(const FrequencyTime&) const = default;
};

// The time-in-state table of a devfreq trans_stat file, in file order. Empty when
// the text holds no table (the kernel writes "Not Supported." for large tables).
std::vector<FrequencyTime> parseTransStat(std::string_view text);

// A GPU whose frequency is scaled by devfreq (most ARM SoCs): the time spent at
// each operating point. The lowest point is where the governor parks an idle
// GPU, so it is reported as "IDLE" and the higher ones as "P1", "P2", ...
class DevfreqCounter : public GPUCounter {
public:
    // deviceDir: <sys>/class/devfreq/<name>
    DevfreqCounter(std::string deviceDir, MonotonicClock clock);

    // Whether a devfreq device is a GPU, by its name ("fde60000.gpu", "13000000.mali", ...).
    static bool isGPU(std::string_view deviceName);

    std::optional<GPUCounterReading> read() override;
    std::optional<std::vector<StateResidency>>
    residencies(const GPUCounterReading& first, const GPUCounterReading& second) const override;

private:
    std::string deviceDir_;
    MonotonicClock clock_;
    // Frequencies of the table, ascending, fixed by the first reading.
    std::vector<uint64_t> frequencies_;
};

} // namespace korvel::platform::ioreport
