#include "helper/sensors/smc_temperatures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace korvel {
namespace {

using namespace platform::smc;
using Keys = std::vector<std::string>;

struct FakeKey {
    std::string name;
    float celsius = 0;
    uint32_t type = kSMCTypeFloat;
    uint32_t size = 4;
    bool readFails = false;
};

// A sensor controller whose key table the test can change at any time.
struct FakeSMC : SMCDriver {
    struct Connection : SMCConnection {
        explicit Connection(FakeSMC& s) : smc(s) {}
        bool callStructMethod(uint32_t selector, const SMCCallBlock& in,
                              SMCCallBlock& out) override {
            return selector == kSMCCallSelector && smc.answer(in, out);
        }
        FakeSMC& smc;
    };

    std::unique_ptr<SMCConnection> openKeysEndpoint() override {
        ++opens;
        return available ? std::make_unique<Connection>(*this) : nullptr;
    }

    bool answer(const SMCCallBlock& in, SMCCallBlock& out) {
        const std::string name = smcKeyName(in.key);
        const auto n = static_cast<uint32_t>(keys.size());
        const auto count = keyCount.value_or(
            std::vector<uint8_t>{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        const auto key = std::find_if(keys.begin(), keys.end(),
                                      [&](const FakeKey& k) { return k.name == name; });
        if (in.command == kSMCCommandReadKey) {
            reads.push_back(name);
        }
        out.result = kSMCResultSuccess;
        if (in.command == kSMCCommandKeyAtIndex && in.index < n) {
            // Names shorter than four are packed with trailing NULs.
            out.key = *smcKeyCode((keys[in.index].name + std::string(4, '\0')).substr(0, 4));
        } else if (in.command == kSMCCommandKeyInfo && name == "#KEY") {
            out.dataSize = static_cast<uint32_t>(count.size());
            out.dataType = kSMCTypeUInt32;
        } else if (in.command == kSMCCommandKeyInfo && key != keys.end()) {
            out.dataSize = key->size;
            out.dataType = key->type;
        } else if (in.command == kSMCCommandReadKey && name == "#KEY") {
            std::copy(count.begin(), count.end(), out.bytes);
        } else if (in.command == kSMCCommandReadKey && key != keys.end() && !key->readFails) {
            std::memcpy(out.bytes, &key->celsius, sizeof key->celsius);
        } else {
            out.result = kSMCResultKeyNotFound;
        }
        return true;
    }

    std::vector<FakeKey> keys;
    bool available = true;
    // "#KEY" answers the table's size, big-endian, unless this is set.
    std::optional<std::vector<uint8_t>> keyCount;
    int opens = 0;
    std::vector<std::string> reads;
};

TEST(SMCTemperatureSensor, DiscoveryKeepsFourByteFloatsOfTheTemperatureFamiliesOnce) {
    FakeSMC smc;
    smc.keys = {{"Tp01", 40},
                {"TC0P", 40},
                {"Tg05", 40},
                {"Tg0s", 40, kSMCTypeFloat, 2},
                {"Tp0x", 40, *smcKeyCode("sp78")},
                {"Te02", 40},
                {"tp03", 40},
                {"Ts04", 40},
                {"Tg", 40},
                {"Te0w", 40, kSMCTypeFloat, 8},
                {"TG06", 40},
                {"Tg07", 40}};
    SMCTemperatureSensor sensor(smc);
    EXPECT_EQ(sensor.cpuKeys(), (Keys{"Tp01", "Te02", "Ts04"}));
    EXPECT_EQ(sensor.gpuKeys(), (Keys{"Tg05", "Tg07"}));

    // A key that appears later is never listed; each request reads only listed keys.
    smc.keys.push_back({"Tg01", 60});
    smc.reads.clear();
    double cpu = 0;
    double gpu = 0;
    EXPECT_EQ(sensor.readTemperatures(&cpu, &gpu), 1);
    EXPECT_EQ(smc.reads, (Keys{"Tp01", "Te02", "Ts04", "Tg05", "Tg07"}));
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
    shortCount.keys = {{"Tp01", 50}};
    shortCount.keyCount = std::vector<uint8_t>{0, 1};
    SMCTemperatureSensor noCount(shortCount);
    EXPECT_EQ(noCount.readTemperatures(&cpu, &gpu), 0);
    shortCount.keyCount.reset();
    EXPECT_EQ(noCount.readTemperatures(&cpu, &gpu), 0);

    FakeSMC counted;
    counted.keys = {{"Tp01", 50}, {"Tp02", 70}};
    counted.keyCount = std::vector<uint8_t>{0, 0, 0, 1};
    EXPECT_EQ(SMCTemperatureSensor(counted).cpuKeys(), (Keys{"Tp01"})) << "the count is big-endian";
}

TEST(SMCTemperatureSensor, MeansUseOnlyValuesAboveZeroUpTo150) {
    FakeSMC smc;
    smc.keys = {{"Tp01", 0},  {"Tp02", -5}, {"Tp03", 151}, {"Tp04", 150},   {"Tp05", 50},
                {"Tp06", 30}, {"Tp07", 80}, {"Tg01", 45},  {"Tg02", 150.5f}};
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
    smc.keys = {{"Tp01", 0}, {"Tg01", 61}};
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
