#pragma once

#include "platform/ioreport/ioreport_library.h"

#include <chrono>
#include <functional>

namespace korvel {

// GPU usage from the performance-state residencies of the reporting library,
// sampled twice over a 300 ms window.
class GPUPerformanceStateSampler {
public:
    using Sleep = std::function<void(std::chrono::microseconds)>;

    GPUPerformanceStateSampler(platform::ioreport::IOReportLoader& loader, Sleep sleep);

    // Stores the last computed percentage through percent when it is not null;
    // non-zero exactly when that value is greater than 0. A sample that cannot be
    // taken or has no residency keeps the previous percentage.
    int readGPUUsagePercent(double* percent);

private:
    void sample();

    platform::ioreport::IOReportLoader& loader_;
    Sleep sleep_;
    double lastIOReportGPUPercent_ = 0;
};

} // namespace korvel

// The live reporting library of this machine.
extern "C" int QNReadGPUUsagePercent(double* percent);
