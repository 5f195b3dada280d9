#include "platform/smc/smc_call_block.h"

namespace korvel::platform::smc {

std::optional<uint32_t> smcKeyCode(std::string_view name) {
    if (name.size() != 4) {
        return std::nullopt;
    }
    uint32_t code = 0;
    for (const char c : name) {
        code = (code << 8) | static_cast<uint8_t>(c);
    }
    return code;
}

std::string smcKeyName(uint32_t code) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (c == '\0' || static_cast<uint8_t>(c) > 0x7F) {
            break;
        }
        name.push_back(c);
    }
    return name;
}

} // namespace korvel::platform::smc
