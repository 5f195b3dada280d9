#include "companion/sampling/battery.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <map>

namespace korvel {
namespace {

using Attributes = std::map<std::string, std::string>;

class BatteryTreeTest : public ::testing::Test {
protected:
    void supply(const std::string& name, const Attributes& attributes) {
        for (const auto& [attribute, value] : attributes) {
            sys_.write("class/power_supply/" + name + "/" + attribute, value + "\n");
        }
    }
    std::optional<BatterySnapshot> read() const { return readBattery(sys_.str()); }

    testing::TempDir sys_;
};

TEST_F(BatteryTreeTest, NoPowerSupplyDirectoryOrNoBatteryMeansAbsent) {
    EXPECT_FALSE(read());
    supply("AC", {{"type", "Mains"}, {"online", "1"}});
    supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "0"}});
    EXPECT_FALSE(read());
}

TEST_F(BatteryTreeTest, EnergyOrChargeGivePercentageAndStatusGivesCharging) {
    supply("BAT0", {{"type", "Battery"},
                    {"status", "Charging"},
                    {"energy_now", "30000000"},
                    {"energy_full", "40000000"}});
    EXPECT_EQ(read(), (BatterySnapshot{75, true, false}));

    testing::TempDir other;
    other.write("class/power_supply/BAT1/type", "Battery\n");
    other.write("class/power_supply/BAT1/status", "Discharging\n");
    other.write("class/power_supply/BAT1/charge_now", "1000000\n");
    other.write("class/power_supply/BAT1/charge_full", "4000000\n");
    EXPECT_EQ(readBattery(other.str()), (BatterySnapshot{25, false, false}));
}

TEST_F(BatteryTreeTest, PeripheralBatteryListedFirstIsSkipped) {
    supply("BAT0", {{"type", "Battery"},
                    {"scope", "Device"},
                    {"capacity", "10"},
                    {"energy_now", "1"},
                    {"energy_full", "10"}});
    supply("BAT1", {{"type", "Battery"},
                    {"scope", "System"},
                    {"status", "Full"},
                    {"energy_now", "50"},
                    {"energy_full", "50"}});
    EXPECT_EQ(read(), (BatterySnapshot{100, false, false}));
}

TEST_F(BatteryTreeTest, ZeroFullCapacityIsSkippedUnlessAnotherBatteryFollows) {
    supply("BAT0", {{"type", "Battery"}, {"energy_now", "10"}, {"energy_full", "0"}});
    EXPECT_FALSE(read());
    supply("BAT1", {{"type", "Battery"}, {"charge_now", "3"}, {"charge_full", "6"}});
    EXPECT_EQ(read(), (BatterySnapshot{50, false, false}));
}

TEST_F(BatteryTreeTest, AnEmptyBayIsNotABattery) {
    supply("BAT0", {{"type", "Battery"}, {"present", "0"}, {"capacity", "0"}});
    supply("BAT1", {{"type", "Battery"}, {"present", "1"}, {"capacity", "64"}});
    EXPECT_EQ(read(), (BatterySnapshot{64, false, false}));
}

TEST_F(BatteryTreeTest, CurrentAboveFullIsReportedUnclamped) {
    supply("BAT0", {{"type", "Battery"}, {"energy_now", "55"}, {"energy_full", "50"}});
    const auto battery = read();
    ASSERT_TRUE(battery);
    EXPECT_DOUBLE_EQ(battery->percentage, 110.0);
}

TEST_F(BatteryTreeTest, MissingCurrentReadsAsEmpty) {
    supply("BAT0", {{"type", "Battery"}, {"energy_full", "50"}});
    EXPECT_EQ(read(), (BatterySnapshot{0, false, false}));
}

TEST_F(BatteryTreeTest, AnyOnlineMainsOrUSBSupplyMeansACPower) {
    supply("BAT0", {{"type", "Battery"}, {"energy_now", "5"}, {"energy_full", "10"}});
    supply("AC", {{"type", "Mains"}, {"online", "0"}});
    // A UPS being online is not the machine's own adapter.
    supply("ups", {{"type", "UPS"}, {"online", "1"}});
    EXPECT_EQ(read()->isOnACPower, false);

    supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "1"}});
    EXPECT_EQ(read()->isOnACPower, true);

    testing::TempDir mains;
    mains.write("class/power_supply/ADP1/type", "Mains\n");
    mains.write("class/power_supply/ADP1/online", "1\n");
    mains.write("class/power_supply/BAT0/type", "Battery\n");
    mains.write("class/power_supply/BAT0/capacity", "90\n");
    EXPECT_EQ(readBattery(mains.str()), (BatterySnapshot{90, false, true}));
}

} // namespace
} // namespace korvel
