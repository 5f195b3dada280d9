#include "helper/sensor_context.h"

#include "platform/hid/thermal_zone_event_system.h"
#include "platform/ioreport/sysfs_gpu_report.h"
#include "platform/smc/hwmon_smc_driver.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel {
namespace {

using testing::TempDir;

// The collectors over a fixture sysfs tree, with tools that do not exist (as on
// Linux) and a window that passes without sleeping.
class SensorContextTest : public ::testing::Test {
protected:
    SensorContext& context() {
        if (!context_) {
            context_ = std::make_unique<SensorContext>(
                SensorSources{smc, hid, gpuReport,
                              GPUToolPaths{sys.str() + "/usr/bin/powermetrics",
                                           sys.str() + "/usr/sbin/system_profiler"},
                              [] { return 700000000.0; },
                              [this](std::chrono::microseconds window) {
                                  ++windows;
                                  monotonicMicros += window.count();
                                  if (betweenSamples) {
                                      betweenSamples();
                                  }
                              }});
        }
        return *context_;
    }

    void suspendedPciParent(const std::string& child, const std::string& address) {
        const std::string device = "devices/pci0000:00/" + address;
        sys.write(device + "/power/runtime_status", "suspended\n");
        std::filesystem::create_directories(sys.path() / "bus/pci");
        std::filesystem::create_directory_symlink(sys.path() / "bus/pci",
                                                  sys.path() / device / "subsystem");
        std::filesystem::create_directory_symlink(sys.path() / device,
                                                  sys.path() / child / "device");
    }

    TempDir sys;
    int64_t monotonicMicros = 1000000;
    int windows = 0;
    std::function<void()> betweenSamples;
    platform::smc::HwmonSMCDriver smc{sys.str()};
    platform::hid::ThermalZoneEventSystem hid{sys.str()};
    platform::ioreport::SysfsGPUReportLoader gpuReport{sys.str(), sys.str() + "/libnvidia-ml.so.1",
                                                       [this] { return monotonicMicros; }};

private:
    std::unique_ptr<SensorContext> context_;
};

TEST_F(SensorContextTest, AMachineWithoutSensorsHasNoReadings) {
    SensorContext& sensors = context();
    const Temperatures t = sensors.temperatures.readTemperatures();
    EXPECT_FALSE(t.cpu);
    EXPECT_FALSE(t.gpu);
    EXPECT_FALSE(sensors.gpu.readGPUUsage());
    EXPECT_FALSE(sensors.gpu.readGPUCoreCount());
    EXPECT_EQ(windows, 0) << "no GPU counter, no sampling window";
}

TEST_F(SensorContextTest, HwmonChipsFeedBothTemperatures) {
    sys.write("class/hwmon/hwmon0/name", "acpitz\n");
    sys.write("class/hwmon/hwmon0/temp1_input", "20000\n");
    sys.write("class/hwmon/hwmon1/name", "coretemp\n");
    sys.write("class/hwmon/hwmon1/temp1_input", "40000\n");
    sys.write("class/hwmon/hwmon1/temp2_input", "50000\n");
    sys.write("class/hwmon/hwmon2/name", "amdgpu\n");
    sys.write("class/hwmon/hwmon2/temp1_input", "61500\n");
    sys.write("class/thermal/thermal_zone0/type", "x86_pkg_temp\n");
    sys.write("class/thermal/thermal_zone0/temp", "99000\n");

    const Temperatures t = context().temperatures.readTemperatures();
    EXPECT_EQ(t.cpu, 45.0);
    EXPECT_EQ(t.gpu, 61.5);

    // Values are fresh on every request.
    sys.write("class/hwmon/hwmon1/temp2_input", "60000\n");
    EXPECT_EQ(context().temperatures.readTemperatures().cpu, 50.0);
}

TEST_F(SensorContextTest, ASleepingGPUHasNoTemperatureAndThermalZonesAreNotConsulted) {
    sys.write("class/hwmon/hwmon0/name", "k10temp\n");
    sys.write("class/hwmon/hwmon0/temp1_input", "55000\n");
    sys.write("class/hwmon/hwmon1/name", "amdgpu\n");
    sys.write("class/hwmon/hwmon1/temp1_input", "40000\n");
    suspendedPciParent("class/hwmon/hwmon1", "0000:03:00.0");
    sys.write("class/thermal/thermal_zone0/type", "gpu-thermal\n");
    sys.write("class/thermal/thermal_zone0/temp", "70000\n");

    const Temperatures t = context().temperatures.readTemperatures();
    EXPECT_EQ(t.cpu, 55.0);
    EXPECT_FALSE(t.gpu);
}

TEST_F(SensorContextTest, ThermalZonesStandInWithoutHwmon) {
    sys.write("class/thermal/thermal_zone0/type", "acpitz\n");
    sys.write("class/thermal/thermal_zone0/temp", "20000\n");
    sys.write("class/thermal/thermal_zone1/type", "cpu0-thermal\n");
    sys.write("class/thermal/thermal_zone1/temp", "40000\n");
    sys.write("class/thermal/thermal_zone2/type", "cpu1-thermal\n");
    sys.write("class/thermal/thermal_zone2/temp", "50000\n");
    sys.write("class/thermal/thermal_zone3/type", "gpu-thermal\n");
    sys.write("class/thermal/thermal_zone3/temp", "150000\n");

    Temperatures t = context().temperatures.readTemperatures();
    EXPECT_EQ(t.cpu, 45.0);
    EXPECT_FALSE(t.gpu) << "150 degrees is out of range for this source";

    sys.write("class/thermal/thermal_zone3/temp", "149000\n");
    t = context().temperatures.readTemperatures();
    EXPECT_EQ(t.gpu, 149.0);
}

TEST_F(SensorContextTest, GPUUsageFromABusyCounter) {
    sys.write("class/drm/card0/device/gpu_busy_percent", "35\n");
    betweenSamples = [this] { sys.write("class/drm/card0/device/gpu_busy_percent", "45\n"); };
    EXPECT_EQ(context().gpu.readGPUUsage(), 40.0);
    EXPECT_EQ(windows, 1);

    // An idle GPU is no reading: the tool fallback is tried and is absent here.
    sys.write("class/drm/card0/device/gpu_busy_percent", "0\n");
    betweenSamples = nullptr;
    EXPECT_FALSE(context().gpu.readGPUUsage());
}

TEST_F(SensorContextTest, GPUUsageFromIntelIdleResidency) {
    sys.write("class/drm/card0/power/rc6_residency_ms", "1000\n");
    betweenSamples = [this] { sys.write("class/drm/card0/power/rc6_residency_ms", "1240\n"); };
    const auto usage = context().gpu.readGPUUsage();
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 20.0);
}

TEST_F(SensorContextTest, GPUUsageFromDevfreqTimeInState) {
    const auto table = [](int low, int high) {
        return " 200000000:  0  1  " + std::to_string(low) + "\n*800000000:  1  0  " +
               std::to_string(high) + "\n";
    };
    sys.write("class/devfreq/fb000000.gpu/trans_stat", table(100, 100));
    betweenSamples = [&] { sys.write("class/devfreq/fb000000.gpu/trans_stat", table(175, 325)); };
    const auto usage = context().gpu.readGPUUsage();
    ASSERT_TRUE(usage);
    EXPECT_DOUBLE_EQ(*usage, 75.0);
}

TEST_F(SensorContextTest, ASleepingGPUReadsAsIdleNotAsItsLastValue) {
    sys.write("class/drm/card0/device/gpu_busy_percent", "60\n");
    EXPECT_EQ(context().gpu.readGPUUsage(), 60.0);

    std::filesystem::create_directories(sys.path() / "devices/pci0000:00");
    std::filesystem::rename(sys.path() / "class/drm/card0/device",
                            sys.path() / "devices/pci0000:00/0000:03:00.0");
    suspendedPciParent("class/drm/card0", "0000:03:00.0");
    EXPECT_FALSE(context().gpu.readGPUUsage());
}

} // namespace
} // namespace korvel
