#pragma once

#include "platform/ioreport/gpu_counter.h"
#include "platform/ioreport/ioreport_library.h"

#include <string>

namespace korvel::platform::ioreport {

// The GPU performance-state channels over the GPUs' own counters: amdgpu's busy
// percentage and Intel's idle residency for each DRM card, NVIDIA's management
// library for each GPU bound to the nvidia driver, and devfreq time-in-state for
// SoC GPUs. Channels of GPUs that were asleep in either sample come last, with all
// their time in "OFF", so an awake GPU is preferred and a machine whose GPUs all
// sleep reads as idle. Only the "GPU Stats" / "GPU Performance States" channels
// exist; a machine with no such counter has none, and then costs no sampling.
class SysfsGPUReportLoader : public IOReportLoader {
public:
    SysfsGPUReportLoader(std::string sysRoot, std::string nvmlLibraryPath = kDefaultNvmlLibrary,
                         MonotonicClock clock = liveMonotonicClock());

    std::unique_ptr<IOReportLibrary> open() override;

    static constexpr const char* kDefaultNvmlLibrary = "libnvidia-ml.so.1";

private:
    std::string sysRoot_;
    std::string nvmlLibraryPath_;
    MonotonicClock clock_;
};

} // namespace korvel::platform::ioreport
