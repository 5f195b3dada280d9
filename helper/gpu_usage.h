#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

inline constexpr const char* kPowermetricsPath = "/usr/bin/powermetrics";
inline constexpr const char* kSystemProfilerPath = "/usr/sbin/system_profiler";

struct GPUToolPaths {
    std::string powermetrics = kPowermetricsPath;
    std::string systemProfiler = kSystemProfilerPath;
};

// The GPU busy percentage in a powermetrics report, when it lies in 0 to 100.
std::optional<double> parsePowermetricsGPUResidency(std::string_view output);

// The core count of the first GPU listed in a system_profiler displays report.
std::optional<int64_t> parseSystemProfilerGPUCores(std::string_view output);

// GPU usage and core count, with the caches that carry over between requests.
class GPUCollector {
public:
    // The reporting library's reader: the contract of QNReadGPUUsagePercent.
    using UsageReader = std::function<int(double*)>;
    // Seconds since 2001-01-01 UTC.
    using Clock = std::function<double()>;

    GPUCollector(UsageReader readGPUUsagePercent, GPUToolPaths tools, Clock now);

    // The library's percentage when positive; otherwise one powermetrics run,
    // whose value is reused for 2 s.
    std::optional<double> readGPUUsage();

    // system_profiler runs once per collector; its outcome, even a failure, stands.
    std::optional<int64_t> readGPUCoreCount();

private:
    UsageReader readGPUUsagePercent_;
    GPUToolPaths tools_;
    Clock now_;
    std::optional<double> powermetricsValue_;
    double powermetricsTime_ = 0;
    bool gpuCoreCountComputed_ = false;
    std::optional<int64_t> gpuCoreCount_;
};

// The live collector of this process.
std::optional<double> readGPUUsage();
std::optional<int64_t> readGPUCoreCount();

} // namespace korvel
