#pragma once

#include "platform/sensors/sensors.h"
#include "platform/system/memory_figures.h"
#include "shared/helper_response.h"

#include <functional>

namespace korvel {

// The collectors one reading is made of. live() is this machine; a test
// replaces them to see what the assembly does with their answers.
struct FetchCollectors {
    std::function<double()> now;
    std::function<std::vector<HelperProcessData>(bool showSystem,
                                                 std::vector<HelperConnectionData>& connections)>
        processTable;
    std::function<std::vector<HelperInterfaceData>()> interfaceCounters;
    std::function<platform::MemoryFigures()> memoryFigures;
    std::function<platform::sensors::SensorReading()> sensors;

    static FetchCollectors live();
};

// One complete reading of the machine, collectors called in their fixed order.
HelperResponse assembleHelperResponse(bool showSystem,
                                      const FetchCollectors& collectors = FetchCollectors::live());

} // namespace korvel
