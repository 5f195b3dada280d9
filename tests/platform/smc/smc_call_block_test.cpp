#include "platform/smc/smc_call_block.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvel::platform::smc {
namespace {

template <typename T> T at(const uint8_t* raw, size_t offset) {
    T value{};
    std::memcpy(&value, raw + offset, sizeof value);
    return value;
}

TEST(SMCCallBlock, FieldsLandAtTheDriverOffsets) {
    SMCCallBlock block;
    block.key = 0x54433050;
    block.dataSize = 4;
    block.dataType = kSMCTypeFloat;
    block.dataAttributes = 0x80;
    block.result = 0x84;
    block.status = 0x11;
    block.command = kSMCCommandKeyInfo;
    block.index = 0x01020304;
    block.bytes[0] = 0xAA;
    block.bytes[31] = 0xBB;

    uint8_t raw[80];
    std::memcpy(raw, &block, sizeof raw);
    EXPECT_EQ(at<uint32_t>(raw, 0), 0x54433050u);
    for (size_t i = 4; i < 28; ++i) {
        EXPECT_EQ(raw[i], 0) << "reserved byte " << i;
    }
    EXPECT_EQ(at<uint32_t>(raw, 28), 4u);
    EXPECT_EQ(at<uint32_t>(raw, 32), 0x666C7420u);
    EXPECT_EQ(raw[36], 0x80);
    EXPECT_EQ(raw[37] | raw[38] | raw[39], 0);
    EXPECT_EQ(raw[40], 0x84);
    EXPECT_EQ(raw[41], 0x11);
    EXPECT_EQ(raw[42], 9);
    EXPECT_EQ(raw[43], 0);
    EXPECT_EQ(at<uint32_t>(raw, 44), 0x01020304u);
    EXPECT_EQ(raw[48], 0xAA);
    EXPECT_EQ(raw[79], 0xBB);
}

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
