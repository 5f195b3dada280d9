#include "platform/smc/hwmon_smc_driver.h"
#include "platform/smc/smc_call_block.h"

#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace korvel::platform::smc {
namespace {

using testing::SysfsTree;

class HwmonSMCDriverTest : public ::testing::Test {
protected:
    SMCCallBlock call(SMCConnection& connection, uint8_t command, const std::string& key,
                      uint32_t index = 0, uint32_t size = 4) {
        SMCCallBlock input;
        input.key = key.empty() ? 0 : *smcKeyCode(key);
        input.command = command;
        input.index = index;
        input.dataSize = size;
        SMCCallBlock output;
        EXPECT_TRUE(connection.callStructMethod(kSMCCallSelector, input, output));
        return output;
    }

    float readFloat(SMCConnection& connection, const std::string& key) {
        const SMCCallBlock block = call(connection, kSMCCommandReadKey, key);
        EXPECT_EQ(block.result, kSMCResultSuccess) << key;
        float value = 0;
        std::memcpy(&value, block.bytes, sizeof value);
        return value;
    }

    SysfsTree sys;
};

TEST(HwmonChipFamily, NamesTheCPUAndGPUChips) {
    for (const char* name : {"coretemp", "k10temp", "zenpower", "cpu_thermal", "cpu0_thermal"}) {
        EXPECT_EQ(hwmonChipFamily(name), HwmonFamily::cpu) << name;
    }
    for (const char* name : {"amdgpu", "nouveau", "radeon", "gpu_thermal", "gpu1_thermal"}) {
        EXPECT_EQ(hwmonChipFamily(name), HwmonFamily::gpu) << name;
    }
    for (const char* name : {"nvme", "acpitz", "iwlwifi_1", "cpu", "gpu", "soc_thermal"}) {
        EXPECT_EQ(hwmonChipFamily(name), HwmonFamily::other) << name;
    }
}

TEST_F(HwmonSMCDriverTest, ListsTemperatureInputsAsFamilyKeysLeavingSleepersAlone) {
    sys.hwmonChip(0, "nvme", {"38000"});
    sys.hwmonChip(2, "k10temp", {"51250", nullptr, "60000"});
    sys.hwmonChip(10, "amdgpu", {"47000"});
    sys.hwmonChip(1, "coretemp", {nullptr, "45000"});
    sys.hwmonChip(11, "nouveau", {"52000"});
    sys.pciDevice("0000:03:00.1", "suspended", "class/hwmon/hwmon11/device");
    sys.pciDevice("0000:03:00.2", "active", "class/hwmon/hwmon10/device");
    HwmonSMCDriver driver(sys.str());
    auto connection = driver.openKeysEndpoint();
    ASSERT_TRUE(connection);

    const SMCCallBlock count = call(*connection, kSMCCommandReadKey, "#KEY");
    EXPECT_EQ(std::vector<uint8_t>(count.bytes, count.bytes + 4),
              (std::vector<uint8_t>{0, 0, 0, 5}));
    EXPECT_EQ(call(*connection, kSMCCommandKeyInfo, "#KEY").dataType, kSMCTypeUInt32);

    // hwmon1 before hwmon2 before hwmon10; the nvme chip is not listed.
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < 5; ++i) {
        const SMCCallBlock at = call(*connection, kSMCCommandKeyAtIndex, "", i);
        ASSERT_EQ(at.result, kSMCResultSuccess);
        keys.push_back(smcKeyName(at.key));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Tp00", "Tp01", "Tp02", "Tg00", "Tg01"}));
    EXPECT_NE(call(*connection, kSMCCommandKeyAtIndex, "", 5).result, kSMCResultSuccess);

    const SMCCallBlock info = call(*connection, kSMCCommandKeyInfo, "Tp01");
    EXPECT_EQ(info.dataSize, 4u);
    EXPECT_EQ(info.dataType, kSMCTypeFloat);
    EXPECT_FLOAT_EQ(readFloat(*connection, "Tp01"), 51.25f);

    // Values are read on every request; a suspended GPU is left asleep.
    sys.write("class/hwmon/hwmon10/temp1_input", "-5000\n");
    EXPECT_FLOAT_EQ(readFloat(*connection, "Tg00"), -5.0f);
    EXPECT_EQ(call(*connection, kSMCCommandReadKey, "Tg01").result, kSMCResultReadFailed);
    sys.write("devices/pci0000:00/0000:03:00.1/power/runtime_status", "active\n");
    EXPECT_FLOAT_EQ(readFloat(*connection, "Tg01"), 52.0f);
}

} // namespace
} // namespace korvel::platform::smc
