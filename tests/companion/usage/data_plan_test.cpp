#include "companion/usage/billing_cycle.h"
#include "companion/usage/data_plan.h"
#include "tests/support/scoped_env.h"

#include <ctime>
#include <gtest/gtest.h>

namespace korvel::usage {
namespace {

// Central European time, daylight saving from the last Sunday of March to
// the last of October; spelled out, so no zone database is needed.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

class LocalZone {
public:
    explicit LocalZone(const char* zone) : env_("TZ", zone) { tzset(); }
    ~LocalZone() { tzset(); }

private:
    korvel::testing::ScopedEnv env_;
};

int64_t local(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&fields));
}

TEST(BillingCycleTest, ShortMonthsStartOnTheirLastDayAndDaylightSavingMovesNoMidnight) {
    LocalZone zone(kBerlin);
    // Day 31: in February the cycle starts on its last day, in a leap year the 29th.
    EXPECT_EQ(billingCycle(local(2027, 2, 27, 12), 31).start, local(2027, 1, 31));
    EXPECT_EQ(billingCycle(local(2027, 2, 27, 12), 31).end, local(2027, 2, 28));
    EXPECT_EQ(billingCycle(local(2027, 3, 2), 31).start, local(2027, 2, 28));
    EXPECT_EQ(billingCycle(local(2027, 3, 2), 31).end, local(2027, 3, 31));
    EXPECT_EQ(billingCycle(local(2028, 3, 1), 30).start, local(2028, 2, 29));
    // The boundary belongs to the new cycle, a second before it to the old.
    EXPECT_EQ(billingCycle(local(2027, 4, 15), 15).start, local(2027, 4, 15));
    EXPECT_EQ(billingCycle(local(2027, 4, 15) - 1, 15).start, local(2027, 3, 15));
    // Across the March change the cycle is an hour short, across October an hour long.
    EXPECT_EQ(billingCycle(local(2027, 3, 20), 1).length(), 31 * 86400 - 3600);
    EXPECT_EQ(billingCycle(local(2027, 10, 20), 1).length(), 31 * 86400 + 3600);
    EXPECT_EQ(localDay(local(2027, 3, 28, 12)).length(), 23 * 3600);
    EXPECT_EQ(localDay(local(2027, 3, 28, 12)).start, local(2027, 3, 28));
    // December rolls into January; a day out of range is held to 1-31.
    EXPECT_EQ(billingCycle(local(2027, 12, 20), 5).end, local(2028, 1, 5));
    EXPECT_EQ(billingCycle(local(2027, 12, 20), 0).start, local(2027, 12, 1));
}

TEST(DataPlanTest, SoundPlansReadWithTheirDefaultsAndEveryFlawIsNamed) {
    const auto plans = plansFrom(nlohmann::json::parse(
        R"([{"network": "Hotspot", "capBytes": 250000000},
            {"network": "a1b2", "capBytes": 5000, "cycleStartDay": 31, "warningPercent": 90,
             "count": "in"},
            {"network": "", "capBytes": 1}])"));
    ASSERT_EQ(plans.size(), 2u) << "the unsound one is left out";
    EXPECT_EQ(plans[0].cycleStartDay, 1);
    EXPECT_EQ(plans[0].warningBytes(), 200000000u);
    EXPECT_EQ(plans[0].counted({3, 4}), 7u);
    EXPECT_EQ(plans[1].counted({3, 4}), 3u);
    EXPECT_EQ(plansFrom(plansJson(plans)), plans) << "written as read";
    // A cap near the top of the range warns where it should, not at a wrapped value.
    DataPlan huge{"x", UINT64_MAX, 1, 80, CountedDirection::both};
    EXPECT_GT(huge.warningBytes(), UINT64_MAX / 100 * 79);

    EXPECT_FALSE(plansProblem(plansJson(plans)));
    for (const char* bad :
         {R"({"network": "x", "capBytes": 1})", R"([{"capBytes": 1}])",
          R"([{"network": "x", "capBytes": 0}])", R"([{"network": "x", "capBytes": 1.5}])",
          R"([{"network": "x", "capBytes": 1, "cycleStartDay": 32}])",
          R"([{"network": "x", "capBytes": 1, "warningPercent": 0}])",
          R"([{"network": "x", "capBytes": 1, "count": "sideways"}])",
          R"([{"network": "x", "capBytes": 1}, {"network": "x", "capBytes": 2}])"}) {
        EXPECT_TRUE(plansProblem(nlohmann::json::parse(bad))) << bad;
    }
    EXPECT_EQ(*plansProblem(nlohmann::json::parse(R"([{"network": "x", "capBytes": -5}])")),
              "\"capBytes\" of x must be a whole number of bytes above 0");
}

} // namespace
} // namespace korvel::usage
