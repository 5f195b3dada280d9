#pragma once

#include "companion/model/battery_snapshot.h"
#include "companion/model/memory_pressure.h"

#include <array>
#include <cstdint>
#include <optional>

namespace korvel {

struct SystemStats {
    uint64_t totalMem = 0;
    uint64_t usedMem = 0;
    uint64_t freeMem = 0;
    MemoryPressure pressure = MemoryPressure::normal;
    int32_t memPressureLevel = 100; // the reading's level the pressure comes from
    int coreCount = 0;
    std::optional<int64_t> gpuCoreCount;
    double cpuUsagePercent = 0;
    double loadAverage1m = 0;
    std::optional<std::array<double, 3>> loadAverages; // 1, 5 and 15 minutes, where read
    uint64_t diskTotal = 0;
    uint64_t diskFree = 0; // available to the user on the home volume
    std::optional<BatterySnapshot> battery;
    std::optional<double> gpuUsagePercent;
    std::optional<double> cpuTemperatureCelsius;
    std::optional<double> gpuTemperatureCelsius;

    bool operator==(const SystemStats&) const = default;
};

} // namespace korvel
