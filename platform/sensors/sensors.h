#pragma once

#include "platform/system/roots.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::sensors {

using Microseconds = std::chrono::microseconds;

Microseconds steadyNow();

// What the machine's own sensors say; each figure is absent when no sensor
// gave a usable reading.
struct SensorReading {
    std::optional<double> cpuCelsius;
    std::optional<double> gpuCelsius;
    std::optional<double> gpuBusyPercent;

    bool operator==(const SensorReading&) const = default;
};

enum class Family { cpu, gpu };

struct SensorOptions {
    std::string root = kLiveSysRoot;
    std::string nvmlLibrary = "libnvidia-ml.so.1";
    // The steady clock; a test passes one it moves on itself.
    std::function<Microseconds()> now = steadyNow;
};

struct GpuCounterState; // the GPU counters' readings at the previous call

// CPU and GPU temperatures and GPU load from one sysfs tree. No root needed.
//
// Temperatures are the mean of the hwmon inputs of the CPU chips and of the
// GPU chips (above 0, at most 150 °C). Only when no chip of either family
// reads do the thermal zones answer, with the mean of their CPU and GPU zones
// (above 0, below 150 °C). The hwmon inputs are listed once, on the first read.
//
// GPU load comes from each GPU's own counter, so a reply never waits on a
// sample. A busy share the driver gives (gpu_busy_percent, NVML) is taken as
// it stands; a cumulative counter (idle residency, time in state) is compared
// with its reading at the previous call, so the first call has none from it.
// The first awake GPU whose counter gives a share wins; 0 %, a value out of
// range and a counter that went back count as no reading. Counters are listed
// on every call, so a GPU that comes or goes is seen; NVIDIA's library, once
// opened for an awake GPU, stays open.
//
// A device that runtime power management put to sleep is never read, since
// the read would wake it.
class Sensors {
public:
    explicit Sensors(SensorOptions options = {});
    ~Sensors();

    SensorReading read();

private:
    struct HwmonInput {
        Family family;
        std::string file;
        std::string device;
    };

    void readTemperatures(SensorReading& reading);
    std::optional<double> readGpuBusyPercent();

    SensorOptions options_;
    std::optional<std::vector<HwmonInput>> hwmonInputs_;
    std::unique_ptr<GpuCounterState> gpu_;
};

} // namespace korvel::platform::sensors
