#include "platform/ioreport/devfreq_counter.h"

#include <gtest/gtest.h>

namespace korvel::platform::ioreport {
namespace {

TEST(TransStat, ReadsTheTimeColumnOfEveryOperatingPointOfATable) {
    const std::string text = "     From  :   To\n"
                             "           : 200000000 400000000 800000000   time(ms)\n"
                             "*200000000:         0         5         2     123456\n"
                             " 400000000:         3         0         1       7890\n"
                             " 800000000:         4         1         0          0\n"
                             "Total transition : 16\n";
    EXPECT_EQ(parseTransStat(text),
              (std::vector<FrequencyTime>{{200000000, 123456}, {400000000, 7890}, {800000000, 0}}));
    EXPECT_TRUE(parseTransStat("Not Supported.\n").empty());
    EXPECT_TRUE(parseTransStat("").empty());
    EXPECT_TRUE(parseTransStat("     From  :   To\n           :   time(ms)\n").empty());
    // A row whose time is not a number is not a row.
    EXPECT_TRUE(parseTransStat(" 400000000:         3         0    12x\n").empty());
}

TEST(DevfreqCounter, RecognisesGPUDevices) {
    for (const char* name : {"fde60000.gpu", "13000000.mali", "1c40000.GPU", "kgsl-3d0"}) {
        EXPECT_TRUE(DevfreqCounter::isGPU(name)) << name;
    }
    for (const char* name : {"dmc", "ff9a0000.npu", "soc:bus"}) {
        EXPECT_FALSE(DevfreqCounter::isGPU(name)) << name;
    }
}

} // namespace
} // namespace korvel::platform::ioreport
