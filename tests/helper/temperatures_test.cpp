#include "helper/temperatures.h"

#include "platform/hid/thermal_zone_event_system.h"
#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

// A controller reader answering fixed means, as QNReadSMCTemperatures would,
// and HID services that are the thermal zones of a fixture tree, as on Linux;
// the services' own rules are tested with them.
Temperatures read(const testing::SysfsTree& sys, double smcCPU, double smcGPU) {
    platform::hid::ThermalZoneEventSystem zones{sys.str()};
    return TemperatureCollector(
               [=](double* cpu, double* gpu) {
                   *cpu = smcCPU;
                   *gpu = smcGPU;
                   return smcCPU > 0 || smcGPU > 0 ? 1 : 0;
               },
               zones)
        .readTemperatures();
}

TEST(TemperatureCollectorTest, AControllerReadingExcludesTheHIDSource) {
    testing::SysfsTree sys;
    sys.thermalZone(0, "gpu-thermal", "70000");
    const Temperatures t = read(sys, 55, 0);
    EXPECT_EQ(t.cpu, 55.0);
    EXPECT_FALSE(t.gpu) << "no GPU member, even though a HID sensor has one";
    const Temperatures g = read(sys, 0, 48.5);
    EXPECT_FALSE(g.cpu);
    EXPECT_EQ(g.gpu, 48.5);
}

TEST(TemperatureCollectorTest, OtherwiseTheMeanOfEachFamilysSensorsInRange) {
    testing::SysfsTree sys;
    Temperatures t = read(sys, 0, 0);
    EXPECT_FALSE(t.cpu || t.gpu) << "no services at all";
    sys.thermalZone(1, "x86_pkg_temp", "40000");
    t = read(sys, 0, 0);
    EXPECT_EQ(t.cpu, 40.0);
    EXPECT_FALSE(t.gpu) << "only the side with a sensor has a member";

    sys.thermalZone(2, "cpu0-thermal", "50000");
    sys.thermalZone(3, "cpu1-thermal", "150000"); // out of range: the HID source excludes 150
    sys.thermalZone(4, "cpu2-thermal", "0");
    sys.thermalZone(5, "cpu3-thermal", "-3000");
    sys.thermalZone(6, "cpu4-thermal", nullptr); // no event
    sys.thermalZone(7, "acpitz", "99000");       // neither family
    sys.thermalZone(8, "gpu-thermal", "60000");
    sys.thermalZone(9, "gpu0-thermal", "64000");
    sys.thermalZone(10, "gpu1-thermal", "149500");
    t = read(sys, 0, 0);
    EXPECT_EQ(t.cpu, 45.0);
    ASSERT_TRUE(t.gpu);
    EXPECT_DOUBLE_EQ(*t.gpu, (60.0 + 64.0 + 149.5) / 3);
}

} // namespace
} // namespace korvel
