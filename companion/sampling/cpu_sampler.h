#pragma once

#include "platform/system/cpu_load.h"
#include "platform/system/roots.h"

#include <array>
#include <optional>
#include <string>

namespace korvel {

// Cumulative ticks in the order user, system, idle, nice; they wrap at 2^32.
using CPUTicks = platform::CPULoadTicks;

struct CPUSample {
    CPUTicks ticks{};           // keep for the next call; zeros when the counters were unreadable
    double cpuUsagePercent = 0; // 0...100 over the interval since the previous ticks
    double loadAverage1m = 0;
    std::optional<std::array<double, 3>> loadAverages; // 1, 5 and 15 minutes
};

// Busy share of the ticks elapsed between two readings, in percent. Nice time
// is busy, only idle is idle. 0 when no tick elapsed.
double cpuBusyPercent(const CPUTicks& previous, const CPUTicks& current);

// Reads the counters and the load average once. Without previous ticks, or
// when the counters cannot be read, the percentage is 0.
CPUSample sampleCPU(const std::optional<CPUTicks>& previousTicks,
                    const std::string& procRoot = platform::kLiveProcRoot);

} // namespace korvel
