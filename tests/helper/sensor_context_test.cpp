#include "helper/sensor_context.h"

#include "platform/hid/thermal_zone_event_system.h"
#include "platform/ioreport/sysfs_gpu_report.h"
#include "platform/smc/hwmon_smc_driver.h"
#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

// The wiring only, over a fixture sysfs tree with tools that do not exist (as
// on Linux) and a window that passes without sleeping: each source feeds its
// collector; the sources' own rules are tested with them.
TEST(SensorContextTest, HwmonChipsFeedTheTemperaturesAndTheBusyCounterTheGPUUsage) {
    testing::SysfsTree sys;
    int64_t monotonicMicros = 1000000;
    int windows = 0;
    std::function<void()> betweenSamples = [] {};
    platform::smc::HwmonSMCDriver smc{sys.str()};
    platform::hid::ThermalZoneEventSystem hid{sys.str()};
    platform::ioreport::SysfsGPUReportLoader gpuReport{sys.str(), sys.str() + "/libnvidia-ml.so.1",
                                                       [&] { return monotonicMicros; }};
    sys.hwmonChip(1, "coretemp", {"60000"});
    sys.hwmonChip(2, "amdgpu", {"61500"});
    // Not consulted while the chips answer.
    sys.thermalZone(0, "gpu-thermal", "70000");
    SensorContext context(
        SensorSources{smc, hid, gpuReport,
                      GPUToolPaths{sys.str() + "/powermetrics", sys.str() + "/system_profiler"},
                      [] { return 700000000.0; },
                      [&](std::chrono::microseconds window) {
                          ++windows;
                          monotonicMicros += window.count();
                          betweenSamples();
                      }});
    const Temperatures t = context.temperatures.readTemperatures();
    EXPECT_EQ(t.cpu, 60.0);
    EXPECT_EQ(t.gpu, 61.5);
    sys.write("class/hwmon/hwmon1/temp1_input", "64000\n");
    EXPECT_EQ(context.temperatures.readTemperatures().cpu, 64.0) << "read fresh every time";

    sys.write("class/drm/card0/device/gpu_busy_percent", "35\n");
    betweenSamples = [&] { sys.write("class/drm/card0/device/gpu_busy_percent", "45\n"); };
    EXPECT_EQ(context.gpu.readGPUUsage(), 40.0);
    EXPECT_EQ(windows, 1);
}

} // namespace
} // namespace korvel
