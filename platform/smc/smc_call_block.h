#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform::smc {

// The sensor controller's parameter block: 80 bytes, host-order integers, the
// same layout for input and output.
#pragma pack(push, 1)
struct SMCCallBlock {
    uint32_t key = 0;
    uint8_t reserved[24] = {};
    uint32_t dataSize = 0;
    uint32_t dataType = 0;
    uint8_t dataAttributes = 0;
    uint8_t padding1[3] = {};
    uint8_t result = 0;
    uint8_t status = 0;
    uint8_t command = 0;
    uint8_t padding2 = 0;
    uint32_t index = 0;
    uint8_t bytes[32] = {};
};
#pragma pack(pop)

static_assert(sizeof(SMCCallBlock) == 80);
static_assert(offsetof(SMCCallBlock, key) == 0);
static_assert(offsetof(SMCCallBlock, reserved) == 4);
static_assert(offsetof(SMCCallBlock, dataSize) == 28);
static_assert(offsetof(SMCCallBlock, dataType) == 32);
static_assert(offsetof(SMCCallBlock, dataAttributes) == 36);
static_assert(offsetof(SMCCallBlock, result) == 40);
static_assert(offsetof(SMCCallBlock, status) == 41);
static_assert(offsetof(SMCCallBlock, command) == 42);
static_assert(offsetof(SMCCallBlock, index) == 44);
static_assert(offsetof(SMCCallBlock, bytes) == 48);

inline constexpr uint32_t kSMCCallSelector = 2;

inline constexpr uint8_t kSMCCommandReadKey = 5;
inline constexpr uint8_t kSMCCommandKeyAtIndex = 8;
inline constexpr uint8_t kSMCCommandKeyInfo = 9;

inline constexpr uint8_t kSMCResultSuccess = 0;
inline constexpr uint8_t kSMCResultKeyNotFound = 0x84;
inline constexpr uint8_t kSMCResultBadArgument = 0x89;
inline constexpr uint8_t kSMCResultBadCommand = 0x8A;
inline constexpr uint8_t kSMCResultReadFailed = 0x8B;

// Four ASCII characters, the first in the most significant byte. No value for a
// name that is not exactly four characters long.
std::optional<uint32_t> smcKeyCode(std::string_view name);

// The characters of a packed key, first character from the top byte. A NUL or
// non-ASCII byte ends the text early, so the result may be shorter than four.
std::string smcKeyName(uint32_t code);

inline constexpr uint32_t kSMCTypeFloat = 0x666C7420;  // "flt "
inline constexpr uint32_t kSMCTypeUInt32 = 0x75693332; // "ui32"

} // namespace korvel::platform::smc
