#include "platform/system/power_supplies.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(PowerSuppliesTest, ReadsAttributesOrderedByNameWithAbsentOnesUnset) {
    testing::TempDir sys;
    EXPECT_FALSE(readPowerSupplies(sys.str()));

    sys.write("class/power_supply/BAT1/type", "Battery\n");
    sys.write("class/power_supply/BAT1/scope", "System\n");
    sys.write("class/power_supply/BAT1/status", "Not charging\n");
    sys.write("class/power_supply/BAT1/present", "1\n");
    sys.write("class/power_supply/BAT1/energy_now", "41000000\n");
    sys.write("class/power_supply/BAT1/energy_full", "52000000\n");
    sys.write("class/power_supply/BAT1/capacity", "78\n");
    sys.write("class/power_supply/AC/type", "Mains\n");
    sys.write("class/power_supply/AC/online", "0\n");
    sys.write("class/power_supply/BAT0/type", "Battery\n");
    sys.write("class/power_supply/BAT0/charge_now", "garbage\n");
    sys.write("class/power_supply/BAT0/charge_full", "3000\n");

    const auto supplies = readPowerSupplies(sys.str());
    ASSERT_TRUE(supplies);
    ASSERT_EQ(supplies->size(), 3u);
    const PowerSupply& ac = (*supplies)[0];
    const PowerSupply& bat0 = (*supplies)[1];
    const PowerSupply& bat1 = (*supplies)[2];
    EXPECT_EQ(ac.name, "AC");
    EXPECT_EQ(ac.type, "Mains");
    EXPECT_EQ(ac.online, false);
    EXPECT_FALSE(ac.present);

    EXPECT_FALSE(bat0.chargeNow); // unreadable number
    EXPECT_EQ(bat0.chargeFull, 3000u);
    EXPECT_FALSE(bat0.scope);

    EXPECT_EQ(bat1.scope, "System");
    EXPECT_EQ(bat1.status, "Not charging"); // whole line, spaces kept
    EXPECT_EQ(bat1.present, true);
    EXPECT_EQ(bat1.energyNow, 41000000u);
    EXPECT_EQ(bat1.energyFull, 52000000u);
    EXPECT_EQ(bat1.capacity, 78u);
}

} // namespace
} // namespace korvel::platform
