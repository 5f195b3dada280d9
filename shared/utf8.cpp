#include "shared/utf8.h"

namespace korvel {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid sequence starting at i, or 0 when the bytes there are not
// a well-formed UTF-8 sequence (overlongs, surrogates and values above U+10FFFF
// included). On failure, *consumed is the length of the maximal invalid prefix.
size_t validSequenceLength(std::string_view s, size_t i, size_t* consumed) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    *consumed = 1;
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= s.size()) {
            return 0;
        }
        const unsigned char c = byte(i + k);
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (c < lo || c > hi) {
            return 0;
        }
        *consumed = k + 1;
    }
    return length;
}

} // namespace

Utf8Step decodeUtf8At(std::string_view bytes, size_t offset) {
    size_t consumed = 0;
    const size_t length = validSequenceLength(bytes, offset, &consumed);
    if (length == 0) {
        return {std::nullopt, consumed};
    }
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[offset + k]); };
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t value = byte(0) & kLeadMask[length];
    for (size_t k = 1; k < length; ++k) {
        value = (value << 6) | (byte(k) & 0x3F);
    }
    return {value, length};
}

bool isValidUtf8(std::string_view bytes) {
    size_t consumed = 0;
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = validSequenceLength(bytes, i, &consumed);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    std::string out;
    out.reserve(bytes.size() + 8);
    size_t consumed = 0;
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = validSequenceLength(bytes, i, &consumed);
        if (n == 0) {
            out += kReplacement;
            i += consumed;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

void appendUtf8(std::string& out, char32_t codePoint) {
    const auto c = static_cast<uint32_t>(codePoint);
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace korvel
