#include "helper/fetch_assembly.h"

#include "helper/gpu_usage.h"
#include "helper/process_table.h"
#include "helper/temperatures.h"
#include "platform/system/absolute_time.h"
#include "shared/interface_counters.h"
#include "shared/memory_figures.h"

namespace korvel {

HelperResponse assembleHelperResponse(bool showSystem) {
    HelperResponse response;
    response.timestamp = platform::absoluteTimeNow();
    response.processes = collectProcessTable(showSystem, response.connections);
    response.interfaces = readInterfaceCounters();
    const MemoryFigures memory = readMemoryFigures();
    response.totalRam = memory.total;
    response.usedRam = memory.used;
    response.freeRam = memory.free;
    response.memPressureLevel = memory.level;
    const Temperatures temperatures = readTemperatures();
    response.cpuTemperatureCelsius = temperatures.cpu;
    response.gpuTemperatureCelsius = temperatures.gpu;
    response.gpuCoreCount = readGPUCoreCount();
    response.gpuUsagePercent = readGPUUsage();
    return response;
}

std::optional<std::string> fetchReply(bool showSystem) {
    return encodeHelperResponse(assembleHelperResponse(showSystem));
}

} // namespace korvel
