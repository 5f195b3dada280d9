#include "companion/sampling/cpu_sampler.h"

namespace korvel {

double cpuBusyPercent(const CPUTicks& previous, const CPUTicks& current) {
    // Unsigned 32-bit subtraction: a counter that wrapped still yields its
    // true small increase.
    double delta[4];
    for (size_t i = 0; i < 4; ++i) {
        delta[i] = static_cast<double>(static_cast<uint32_t>(current[i] - previous[i]));
    }
    const double user = delta[0], system = delta[1], idle = delta[2], nice = delta[3];
    const double total = user + system + idle + nice;
    if (total <= 0) {
        return 0;
    }
    return (user + system + nice) / total * 100.0;
}

CPUSample sampleCPU(const std::optional<CPUTicks>& previousTicks, const std::string& procRoot) {
    CPUSample sample;
    const auto current = platform::readCPULoadTicks(procRoot);
    if (current) {
        sample.ticks = *current;
        if (previousTicks) {
            sample.cpuUsagePercent = cpuBusyPercent(*previousTicks, *current);
        }
    }
    sample.loadAverages = platform::readLoadAverages(procRoot);
    sample.loadAverage1m = sample.loadAverages ? (*sample.loadAverages)[0] : 0;
    return sample;
}

} // namespace korvel
