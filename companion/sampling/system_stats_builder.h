#pragma once

#include "companion/model/battery_snapshot.h"
#include "companion/model/memory_pressure.h"
#include "companion/model/system_stats.h"
#include "platform/system/volume_capacity.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <optional>

namespace korvel {

// The helper's memory-status level is the share of memory still available:
// 61 and up is normal, 26...60 warning, 25 and below critical.
MemoryPressure memoryPressureFromLevel(int32_t level);

// What the companion reads itself for each merged reading.
struct LocalSystemFigures {
    int coreCount = 0;
    platform::VolumeCapacity disk; // the home directory's volume; zeros when unknown
    std::optional<BatterySnapshot> battery;
};

// Reads processor count, home volume and battery from the live machine.
LocalSystemFigures readLocalSystemFigures();

// The value shown before any reading: physical memory and processor count,
// everything else 0 or absent.
SystemStats makeInitialSystemStats();

// Memory, pressure, GPU and temperatures from the response, the CPU figures
// and the local ones as given.
SystemStats buildSystemStats(const HelperResponse& response, double cpuUsagePercent,
                             double loadAverage1m, const LocalSystemFigures& local);

} // namespace korvel
