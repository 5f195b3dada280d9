#pragma once

#include "platform/ioreport/gpu_counter.h"

#include <memory>
#include <optional>
#include <string>

namespace korvel::platform::ioreport {

// NVIDIA's management library, loaded at run time. Initialised only while a
// sample is taken: an open session keeps the GPU from powering down.
class NvmlSession {
public:
    // Null when the library or one of its functions is missing.
    static std::unique_ptr<NvmlSession> load(const std::string& libraryPath);
    ~NvmlSession();
    NvmlSession(const NvmlSession&) = delete;
    NvmlSession& operator=(const NvmlSession&) = delete;

    // Starts the session; false when the driver refuses.
    bool start();

    // The GPU's busy percentage over the driver's last sample period.
    std::optional<unsigned> utilization(const std::string& pciAddress);

private:
    struct Functions;
    NvmlSession(void* handle, std::unique_ptr<Functions> functions);

    void* handle_;
    std::unique_ptr<Functions> functions_;
    bool started_ = false;
};

// One NVIDIA GPU, by PCI address, read through a shared session.
class NvmlCounter : public GPUCounter {
public:
    NvmlCounter(std::shared_ptr<NvmlSession> session, std::string pciDeviceDir,
                std::string pciAddress, MonotonicClock clock);

    std::optional<GPUCounterReading> read() override;
    std::optional<std::vector<StateResidency>>
    residencies(const GPUCounterReading& first, const GPUCounterReading& second) const override;

private:
    std::shared_ptr<NvmlSession> session_;
    std::string pciDeviceDir_;
    std::string pciAddress_;
    MonotonicClock clock_;
};

} // namespace korvel::platform::ioreport
