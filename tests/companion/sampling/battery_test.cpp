#include "companion/sampling/battery.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace korvel {
namespace {

TEST(BatteryTest, PicksTheFirstInternalBatteryWithACapacityAndAnyOnlineAdapter) {
    using B = BatterySnapshot; // percent, charging, on an adapter
    struct Case {
        std::vector<std::string> supplies; // "name attribute=value ...", listed by name
        std::optional<BatterySnapshot> expected;
    };
    const std::vector<Case> cases{
        {{}, std::nullopt}, // no power_supply directory at all
        {{"AC type=Mains online=1", "ucsi type=USB online=0"}, std::nullopt},
        {{"BAT0 type=Battery status=Charging energy_now=30 energy_full=40"}, B{75, true, false}},
        {{"BAT1 type=Battery status=Discharging charge_now=1 charge_full=4"}, B{25, false, false}},
        // A peripheral's battery listed first is skipped.
        {{"BAT0 type=Battery scope=Device capacity=10",
          "BAT1 type=Battery scope=System status=Full energy_now=5 energy_full=5"},
         B{100, false, false}},
        // Zero full capacity is skipped for the next battery.
        {{"BAT0 type=Battery energy_now=10 energy_full=0",
          "BAT1 type=Battery charge_now=3 charge_full=6"},
         B{50, false, false}},
        // An empty bay is not a battery.
        {{"BAT0 type=Battery present=0 capacity=0", "BAT1 type=Battery present=1 capacity=64"},
         B{64, false, false}},
        // Above full is reported unclamped; a missing current reads as empty.
        {{"BAT0 type=Battery energy_now=75 energy_full=50"}, B{150, false, false}},
        {{"BAT0 type=Battery energy_full=50"}, B{0, false, false}},
        {{"BAT0 type=Battery charge_now=x charge_full=50"}, B{0, false, false}},
        // An online UPS is not the machine's own adapter; online mains or USB is.
        {{"AC type=Mains online=0", "BAT0 type=Battery capacity=90", "ups type=UPS online=1"},
         B{90, false, false}},
        {{"BAT0 type=Battery capacity=90", "ucsi type=USB online=1"}, B{90, false, true}},
        {{"ADP1 type=Mains online=1", "BAT0 type=Battery capacity=90"}, B{90, false, true}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        testing::TempDir sys;
        for (const auto& supply : cases[i].supplies) {
            std::istringstream words(supply);
            std::string name, pair;
            words >> name;
            while (words >> pair) {
                const auto eq = pair.find('=');
                sys.write("class/power_supply/" + name + "/" + pair.substr(0, eq),
                          pair.substr(eq + 1) + "\n");
            }
        }
        EXPECT_EQ(readBattery(sys.str()), cases[i].expected) << "case " << i;
    }
}

} // namespace
} // namespace korvel
