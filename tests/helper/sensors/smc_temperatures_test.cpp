#include "helper/sensors/smc_temperatures.h"

#include "tests/helper/sensors/fake_smc.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using testing::FakeSMC;
using testing::FakeSMCKey;
using testing::floatKey;

using Keys = std::vector<std::string>;

TEST(SMCTemperatureSensor, DiscoveryKeepsFourByteFloatsOfTheTemperatureFamilies) {
    FakeSMC smc;
    FakeSMCKey shortFloat = floatKey("Tg0s", 40);
    shortFloat.size = 2;
    FakeSMCKey fixedPoint = floatKey("Tp0x", 40);
    fixedPoint.type = *platform::smc::smcKeyCode("sp78");
    FakeSMCKey wide = floatKey("Te0w", 40);
    wide.size = 8;
    smc.keys = {floatKey("Tp01", 40), floatKey("TC0P", 40),
                floatKey("Tg05", 40), shortFloat,
                fixedPoint,           floatKey("Te02", 40),
                floatKey("tp03", 40), floatKey("Ts04", 40),
                floatKey("Tg", 40),   wide,
                floatKey("TG06", 40), floatKey("Tg07", 40)};
    SMCTemperatureSensor sensor(smc);
    EXPECT_EQ(sensor.cpuKeys(), (Keys{"Tp01", "Te02", "Ts04"}));
    EXPECT_EQ(sensor.gpuKeys(), (Keys{"Tg05", "Tg07"}));
}

TEST(SMCTemperatureSensor, DiscoveryRunsOncePerSensor) {
    FakeSMC smc;
    smc.keys = {floatKey("Tp01", 50)};
    SMCTemperatureSensor sensor(smc);
    double cpu = 0;
    double gpu = 0;
    EXPECT_EQ(sensor.readTemperatures(&cpu, &gpu), 1);

    // A key that appears later is never listed; each request reads only listed keys.
    smc.keys.push_back(floatKey("Tg01", 60));
    smc.readsSent.clear();
    EXPECT_EQ(sensor.readTemperatures(&cpu, &gpu), 1);
    EXPECT_DOUBLE_EQ(cpu, 50);
    EXPECT_EQ(gpu, 0);
    EXPECT_EQ(smc.readsSent, (Keys{"Tp01"}));
    EXPECT_EQ(smc.opens, 1);
}

TEST(SMCTemperatureSensor, NoEndpointOrKeyCountMeansNothingForGood) {
    FakeSMC absent;
    absent.available = false;
    SMCTemperatureSensor noEndpoint(absent);
    double cpu = -1;
    double gpu = -1;
    EXPECT_EQ(noEndpoint.readTemperatures(&cpu, &gpu), 0);
    EXPECT_EQ(cpu, 0);
    EXPECT_EQ(gpu, 0);
    absent.available = true;
    EXPECT_EQ(noEndpoint.readTemperatures(&cpu, &gpu), 0);
    EXPECT_EQ(absent.opens, 1);

    FakeSMC shortCount;
    shortCount.keys = {floatKey("Tp01", 50)};
    shortCount.keyCountBytes = std::vector<uint8_t>{0, 1};
    SMCTemperatureSensor noCount(shortCount);
    EXPECT_EQ(noCount.readTemperatures(&cpu, &gpu), 0);
    EXPECT_TRUE(noCount.cpuKeys().empty());
    shortCount.keyCountBytes.reset();
    EXPECT_EQ(noCount.readTemperatures(&cpu, &gpu), 0);

    // The count is big-endian.
    FakeSMC counted;
    counted.keys = {floatKey("Tp01", 50), floatKey("Tp02", 70)};
    counted.keyCountBytes = std::vector<uint8_t>{0, 0, 0, 1};
    SMCTemperatureSensor firstOnly(counted);
    EXPECT_EQ(firstOnly.cpuKeys(), (Keys{"Tp01"}));
}

TEST(SMCTemperatureSensor, MeansUseOnlyValuesAboveZeroUpTo150) {
    FakeSMC smc;
    FakeSMCKey failing = floatKey("Tp07", 80);
    smc.keys = {floatKey("Tp01", 0),
                floatKey("Tp02", -5),
                floatKey("Tp03", 151),
                floatKey("Tp04", 150),
                floatKey("Tp05", 50),
                floatKey("Tp06", 30),
                failing,
                floatKey("Tg01", 45),
                floatKey("Tg02", 150.5f)};
    SMCTemperatureSensor sensor(smc);
    ASSERT_EQ(sensor.cpuKeys().size(), 7u);

    // After discovery one key's value shrinks to two bytes and one stops reading.
    smc.keys[5].size = 2;
    smc.keys[6].readFails = true;
    double cpu = 0;
    double gpu = 0;
    EXPECT_EQ(sensor.readTemperatures(&cpu, &gpu), 1);
    EXPECT_DOUBLE_EQ(cpu, 100);
    EXPECT_DOUBLE_EQ(gpu, 45);
}

TEST(SMCTemperatureSensor, StoresOnlyThroughGivenPointersAndReportsAPositiveMean) {
    FakeSMC smc;
    smc.keys = {floatKey("Tp01", 0), floatKey("Tg01", 61)};
    SMCTemperatureSensor sensor(smc);
    EXPECT_EQ(sensor.readTemperatures(nullptr, nullptr), 0);

    double cpu = -1;
    EXPECT_EQ(sensor.readTemperatures(&cpu, nullptr), 0);
    EXPECT_EQ(cpu, 0);
    double gpu = -1;
    EXPECT_EQ(sensor.readTemperatures(nullptr, &gpu), 1);
    EXPECT_DOUBLE_EQ(gpu, 61);
}

} // namespace
} // namespace korvel
