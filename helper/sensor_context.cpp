#include "helper/sensor_context.h"

#include "platform/hid/thermal_zone_event_system.h"
#include "platform/ioreport/sysfs_gpu_report.h"
#include "platform/smc/hwmon_smc_driver.h"
#include "platform/system/absolute_time.h"
#include "platform/system/roots.h"

#include <thread>

namespace korvel {

SensorContext::SensorContext(SensorSources sources)
    : smc(sources.smcDriver),
      gpuPerformanceStates(sources.ioreportLoader, std::move(sources.sleep)),
      temperatures([this](double* cpu, double* gpu) { return smc.readTemperatures(cpu, gpu); },
                   sources.hidEventSystem),
      gpu([this](double* percent) { return gpuPerformanceStates.readGPUUsagePercent(percent); },
          std::move(sources.tools), std::move(sources.now)) {}

SensorContext& liveSensorContext() {
    static platform::smc::HwmonSMCDriver smcDriver(platform::kLiveSysRoot);
    static platform::hid::ThermalZoneEventSystem hidEventSystem(platform::kLiveSysRoot);
    static platform::ioreport::SysfsGPUReportLoader ioreportLoader(platform::kLiveSysRoot);
    static SensorContext context(SensorSources{
        smcDriver, hidEventSystem, ioreportLoader, GPUToolPaths{}, platform::absoluteTimeNow,
        [](std::chrono::microseconds duration) { std::this_thread::sleep_for(duration); }});
    return context;
}

} // namespace korvel
