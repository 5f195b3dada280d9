#include "platform/proc/address_text.h"

#include <charconv>

namespace korvel::platform::proc {
namespace {

char* dottedQuad(const uint8_t* bytes, char* out) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            *out++ = '.';
        }
        out = std::to_chars(out, out + 3, bytes[i]).ptr;
    }
    return out;
}

// The libc conversion formats every group with printf, which costs more than
// the rest of a socket row together; this writes the same text directly:
// lower-case groups without leading zeros, the first longest run of two or
// more zero groups as "::", and a dotted quad tail for IPv4-compatible
// (::a.b.c.d) and IPv4-mapped (::ffff:a.b.c.d) addresses.
char* ipv6Text(const uint8_t* bytes, char* out) {
    uint16_t words[8];
    for (int i = 0; i < 8; ++i) {
        words[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    int bestBase = -1, bestLength = 0, base = -1, length = 0;
    for (int i = 0; i <= 8; ++i) {
        if (i < 8 && words[i] == 0) {
            if (base < 0) {
                base = i;
                length = 0;
            }
            ++length;
        } else if (base >= 0) {
            if (bestBase < 0 || length > bestLength) {
                bestBase = base;
                bestLength = length;
            }
            base = -1;
        }
    }
    if (bestLength < 2) {
        bestBase = -1;
    }
    for (int i = 0; i < 8; ++i) {
        if (bestBase >= 0 && i >= bestBase && i < bestBase + bestLength) {
            if (i == bestBase) {
                *out++ = ':';
            }
            continue;
        }
        if (i != 0) {
            *out++ = ':';
        }
        if (i == 6 && bestBase == 0 &&
            (bestLength == 6 || (bestLength == 5 && words[5] == 0xffff))) {
            return dottedQuad(bytes + 12, out);
        }
        out = std::to_chars(out, out + 4, words[i], 16).ptr;
    }
    if (bestBase >= 0 && bestBase + bestLength == 8) {
        *out++ = ':';
    }
    return out;
}

} // namespace

std::string addressText(Family family, const std::array<uint8_t, 16>& address) {
    char text[48];
    char* end =
        family == Family::inet ? dottedQuad(address.data(), text) : ipv6Text(address.data(), text);
    return std::string(text, end);
}

} // namespace korvel::platform::proc
