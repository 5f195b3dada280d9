#include "companion/sampling/system_stats_builder.h"

#include "companion/sampling/battery.h"
#include "platform/program/home_directory.h"
#include "platform/system/meminfo.h"

namespace korvel {

MemoryPressure memoryPressureFromLevel(int32_t level) {
    if (level >= 61) {
        return MemoryPressure::normal;
    }
    if (level >= 26) {
        return MemoryPressure::warning;
    }
    return MemoryPressure::critical;
}

LocalSystemFigures readLocalSystemFigures() {
    const auto home = platform::homeDirectory();
    const auto disk = home ? platform::readVolumeCapacity(*home) : std::nullopt;
    return {platform::processorCount(), disk.value_or(platform::VolumeCapacity{}), readBattery()};
}

SystemStats makeInitialSystemStats() {
    SystemStats stats;
    stats.totalMem = platform::physicalMemoryBytes();
    stats.coreCount = platform::processorCount();
    return stats;
}

SystemStats buildSystemStats(const HelperResponse& response, double cpuUsagePercent,
                             double loadAverage1m, const LocalSystemFigures& local) {
    SystemStats stats;
    stats.totalMem = response.totalRam;
    stats.usedMem = response.usedRam;
    stats.freeMem = response.freeRam;
    stats.pressure = memoryPressureFromLevel(response.memPressureLevel);
    stats.memPressureLevel = response.memPressureLevel;
    stats.coreCount = local.coreCount;
    stats.gpuCoreCount = response.gpuCoreCount;
    stats.cpuUsagePercent = cpuUsagePercent;
    stats.loadAverage1m = loadAverage1m;
    stats.diskTotal = local.disk.total;
    stats.diskFree = local.disk.available;
    stats.battery = local.battery;
    stats.gpuUsagePercent = response.gpuUsagePercent;
    stats.cpuTemperatureCelsius = response.cpuTemperatureCelsius;
    stats.gpuTemperatureCelsius = response.gpuTemperatureCelsius;
    return stats;
}

} // namespace korvel
