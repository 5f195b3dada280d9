#pragma once

#include <memory>
#include <optional>
#include <string>

namespace korvel::platform::sensors {

// NVIDIA's management library, loaded at run time. Its session lasts as long
// as the object, and an open session can keep the GPU from powering down.
class NvmlLibrary {
public:
    // Null when the library, one of its functions or the driver is missing.
    static std::unique_ptr<NvmlLibrary> open(const std::string& path);
    ~NvmlLibrary();
    NvmlLibrary(const NvmlLibrary&) = delete;
    NvmlLibrary& operator=(const NvmlLibrary&) = delete;

    // The GPU's busy percentage over the driver's last sample period.
    std::optional<unsigned> busyPercent(const std::string& pciAddress) const;

private:
    struct Functions;
    NvmlLibrary(void* handle, std::unique_ptr<Functions> functions);

    void* handle_;
    std::unique_ptr<Functions> functions_;
};

} // namespace korvel::platform::sensors
