#include "helper/fetch_assembly.h"

#include "helper/process_table.h"
#include "platform/clock/absolute_time.h"
#include "platform/system/interface_counters.h"

#include <mutex>

namespace korvel {

FetchCollectors FetchCollectors::live() {
    return {platform::secondsSince2001,
            [](bool showSystem, std::vector<HelperConnectionData>& connections) {
                // Lives as long as the helper, which serves one request at a time.
                static DescriptorMemory memory;
                static std::mutex mutex;
                std::lock_guard lock(mutex);
                return collectProcessTable(showSystem, connections, &memory);
            },
            [] { return interfaceRows(platform::readInterfaceCounters()); },
            [] { return platform::readMemoryFigures(); },
            [] {
                // Keeps its hwmon chip list and the GPU counters' last readings.
                static platform::sensors::Sensors sensors;
                static std::mutex mutex;
                std::lock_guard lock(mutex);
                return sensors.read();
            }};
}

HelperResponse assembleHelperResponse(bool showSystem, const FetchCollectors& collectors) {
    HelperResponse response;
    response.timestamp = collectors.now();
    response.processes = collectors.processTable(showSystem, response.connections);
    response.interfaces = collectors.interfaceCounters();
    const platform::MemoryFigures memory = collectors.memoryFigures();
    response.totalRam = memory.total;
    response.usedRam = memory.used;
    response.freeRam = memory.free;
    response.memPressureLevel = memory.level;
    const platform::sensors::SensorReading sensors = collectors.sensors();
    response.cpuTemperatureCelsius = sensors.cpuCelsius;
    response.gpuTemperatureCelsius = sensors.gpuCelsius;
    response.gpuUsagePercent = sensors.gpuBusyPercent;
    // gpuCoreCount stays absent: no kernel interface tells it without opening the GPU.
    return response;
}

} // namespace korvel
