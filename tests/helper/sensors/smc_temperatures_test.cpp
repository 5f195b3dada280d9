#include "helper/sensors/smc_temperatures.h"

#include "platform/smc/hwmon_smc_driver.h"
#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using Keys = std::vector<std::string>;

// The sensor over the Linux controller, hwmon chips in a fixture tree; the
// controller's own answers are tested with it.
class SMCTemperatureSensorTest : public ::testing::Test {
protected:
    testing::SysfsTree sys;
    platform::smc::HwmonSMCDriver driver{sys.str()};
};

TEST_F(SMCTemperatureSensorTest, KeysAreFoundOnceAndOnlyInRangeValuesCount) {
    sys.hwmonChip(0, "nvme", {"38000"});
    sys.hwmonChip(1, "coretemp", {"0", "-5000", "151000", "150000", "50000", "garbage"});
    sys.hwmonChip(2, "amdgpu", {"45000", "150500"});
    SMCTemperatureSensor sensor(driver);
    EXPECT_EQ(sensor.cpuKeys(), (Keys{"Tp00", "Tp01", "Tp02", "Tp03", "Tp04", "Tp05"}));
    EXPECT_EQ(sensor.gpuKeys(), (Keys{"Tg00", "Tg01"}));

    // Values above zero up to 150 count; a chip that appears later is never listed.
    sys.hwmonChip(3, "k10temp", {"90000"});
    double cpu = 0;
    double gpu = 0;
    EXPECT_EQ(sensor.readTemperatures(&cpu, &gpu), 1);
    EXPECT_DOUBLE_EQ(cpu, 100);
    EXPECT_DOUBLE_EQ(gpu, 45);
    EXPECT_EQ(sensor.cpuKeys().size(), 6u);
}

TEST_F(SMCTemperatureSensorTest, NoEndpointMeansNothingForGoodAndOnlyGivenPointersAreStored) {
    SMCTemperatureSensor none(driver);
    double cpu = -1;
    double gpu = -1;
    EXPECT_EQ(none.readTemperatures(&cpu, &gpu), 0);
    EXPECT_EQ(std::make_pair(cpu, gpu), std::make_pair(0.0, 0.0));
    sys.hwmonChip(0, "coretemp", {"0"});
    sys.hwmonChip(1, "amdgpu", {"61000"});
    EXPECT_EQ(none.readTemperatures(&cpu, &gpu), 0) << "the discovery ran once, with no endpoint";

    SMCTemperatureSensor sensor(driver);
    EXPECT_EQ(sensor.readTemperatures(nullptr, nullptr), 0);
    EXPECT_EQ(sensor.readTemperatures(&cpu, nullptr), 0) << "the CPU mean is not above zero";
    EXPECT_EQ(cpu, 0);
    gpu = -1;
    EXPECT_EQ(sensor.readTemperatures(nullptr, &gpu), 1);
    EXPECT_DOUBLE_EQ(gpu, 61);
}

} // namespace
} // namespace korvel
