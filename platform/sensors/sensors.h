#pragma once

#include "platform/system/roots.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::sensors {

using Microseconds = std::chrono::microseconds;

Microseconds steadyNow();
void sleepFor(Microseconds duration);

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
    // The steady clock and the wait between a GPU's two samples: a test passes
    // a pair that moves time on without sleeping.
    std::function<Microseconds()> now = steadyNow;
    std::function<void(Microseconds)> sleep = sleepFor;
};

// CPU and GPU temperatures and GPU load from one sysfs tree. No root needed.
//
// Temperatures are the mean of the hwmon inputs of the CPU chips and of the
// GPU chips (above 0, at most 150 °C). Only when no chip of either family
// reads do the thermal zones answer, with the mean of their CPU and GPU zones
// (above 0, below 150 °C). The hwmon inputs are listed once, on the first read.
//
// GPU load comes from each GPU's own counter, read twice 300 ms apart; the
// first GPU whose two readings compare gives the busy share, and 0 % counts as
// no reading. The window is spent only when some counter could be read.
//
// A device that runtime power management put to sleep is never read, since
// the read would wake it.
class Sensors {
public:
    explicit Sensors(SensorOptions options = {});

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
};

} // namespace korvel::platform::sensors
