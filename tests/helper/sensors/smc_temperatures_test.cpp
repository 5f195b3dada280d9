#include "helper/sensors/smc_temperatures.h"

#include "platform/smc/hwmon_smc_driver.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using Keys = std::vector<std::string>;

// The sensor over the Linux controller, hwmon chips in a fixture tree; the
// controller's own answers are tested with it.
class SMCTemperatureSensorTest : public ::testing::Test {
protected:
    void chip(int number, const std::string& name, const std::vector<const char*>& millidegrees) {
        const std::string dir = "class/hwmon/hwmon" + std::to_string(number);
        sys.write(dir + "/name", name + "\n");
        for (size_t i = 0; i < millidegrees.size(); ++i) {
            sys.write(dir + "/temp" + std::to_string(i + 1) + "_input",
                      std::string(millidegrees[i]) + "\n");
        }
    }

    testing::TempDir sys;
    platform::smc::HwmonSMCDriver driver{sys.str()};
};

TEST_F(SMCTemperatureSensorTest, KeysAreFoundOnceAndOnlyInRangeValuesCount) {
    chip(0, "nvme", {"38000"});
    chip(1, "coretemp", {"0", "-5000", "151000", "150000", "50000", "garbage"});
    chip(2, "amdgpu", {"45000", "150500"});
    SMCTemperatureSensor sensor(driver);
    EXPECT_EQ(sensor.cpuKeys(), (Keys{"Tp00", "Tp01", "Tp02", "Tp03", "Tp04", "Tp05"}));
    EXPECT_EQ(sensor.gpuKeys(), (Keys{"Tg00", "Tg01"}));

    // Values above zero up to 150 count; a chip that appears later is never listed.
    chip(3, "k10temp", {"90000"});
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
    chip(0, "coretemp", {"0"});
    chip(1, "amdgpu", {"61000"});
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
