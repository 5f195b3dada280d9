#include "helper/fetch_assembly.h"

#include "helper/gpu_usage.h"
#include "helper/process_table.h"
#include "platform/system/absolute_time.h"
#include "shared/interface_counters.h"

#include <mutex>

namespace korvel {

FetchCollectors FetchCollectors::live() {
    return {platform::absoluteTimeNow,
            [](bool showSystem, std::vector<HelperConnectionData>& connections) {
                // Lives as long as the helper, which serves one request at a time.
                static DescriptorMemory memory;
                static std::mutex mutex;
                std::lock_guard lock(mutex);
                return collectProcessTable(showSystem, connections, &memory);
            },
            [] { return readInterfaceCounters(); },
            [] { return readMemoryFigures(); },
            [] { return readTemperatures(); },
            readGPUCoreCount,
            readGPUUsage};
}

HelperResponse assembleHelperResponse(bool showSystem, const FetchCollectors& collectors) {
    HelperResponse response;
    response.timestamp = collectors.now();
    response.processes = collectors.processTable(showSystem, response.connections);
    response.interfaces = collectors.interfaceCounters();
    const MemoryFigures memory = collectors.memoryFigures();
    response.totalRam = memory.total;
    response.usedRam = memory.used;
    response.freeRam = memory.free;
    response.memPressureLevel = memory.level;
    const Temperatures temperatures = collectors.temperatures();
    response.cpuTemperatureCelsius = temperatures.cpu;
    response.gpuTemperatureCelsius = temperatures.gpu;
    response.gpuCoreCount = collectors.gpuCoreCount();
    response.gpuUsagePercent = collectors.gpuUsage();
    return response;
}

std::optional<std::string> fetchReply(bool showSystem) {
    return encodeHelperResponse(assembleHelperResponse(showSystem));
}

} // namespace korvel
