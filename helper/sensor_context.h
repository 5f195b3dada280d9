#pragma once

#include "helper/gpu_usage.h"
#include "helper/sensors/gpu_performance_states.h"
#include "helper/sensors/smc_temperatures.h"
#include "helper/temperatures.h"
#include "platform/hid/hid_event_system.h"
#include "platform/ioreport/ioreport_library.h"
#include "platform/smc/smc_driver.h"

namespace korvel {

// Where the GPU and temperature collectors read from.
struct SensorSources {
    platform::smc::SMCDriver& smcDriver;
    platform::hid::HIDEventSystem& hidEventSystem;
    platform::ioreport::IOReportLoader& ioreportLoader;
    GPUToolPaths tools;
    GPUCollector::Clock now;
    GPUPerformanceStateSampler::Sleep sleep;
};

// The sensor collectors over one set of sources, with the state they keep for
// the life of the process: the controller's key lists, the last reported GPU
// percentage, the powermetrics cache and the GPU core count.
class SensorContext {
public:
    explicit SensorContext(SensorSources sources);
    SensorContext(const SensorContext&) = delete;
    SensorContext& operator=(const SensorContext&) = delete;

    SMCTemperatureSensor smc;
    GPUPerformanceStateSampler gpuPerformanceStates;
    TemperatureCollector temperatures;
    GPUCollector gpu;
};

// The machine's own sensors, made on first use.
SensorContext& liveSensorContext();

} // namespace korvel
