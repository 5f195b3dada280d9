#include "platform/smc/smc_call_block.h"

#include <gtest/gtest.h>

namespace korvel::platform::smc {
namespace {

TEST(SMCCallBlock, KeysPackFirstCharacterHighest) {
    EXPECT_EQ(smcKeyCode("TC0P"), 0x54433050u);
    EXPECT_EQ(smcKeyCode("flt "), kSMCTypeFloat);
    EXPECT_EQ(smcKeyCode("#KEY"), 0x234B4559u);
    EXPECT_EQ(smcKeyName(0x54433050), "TC0P");
    EXPECT_EQ(smcKeyName(*smcKeyCode("Tg0A")), "Tg0A");

    // Only four-character names can be sent.
    EXPECT_FALSE(smcKeyCode("TC0"));
    EXPECT_FALSE(smcKeyCode("TC0PX"));
    EXPECT_FALSE(smcKeyCode(""));

    // A NUL or non-ASCII byte leaves fewer than four characters.
    EXPECT_EQ(smcKeyName(0x54430000), "TC");
    EXPECT_EQ(smcKeyName(0x00433050), "");
    EXPECT_EQ(smcKeyName(0x5443B050), "TC");
}

} // namespace
} // namespace korvel::platform::smc
