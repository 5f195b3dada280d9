#include "companion/text/terminal_text.h"

#include "shared/utf8.h"

#include <algorithm>
#include <cstdio>

namespace korvel {
namespace {

bool isBidiControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool needsEscape(char32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F) || isBidiControl(c);
}

void appendEscape(std::string& out, const char* format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

} // namespace

std::string terminalSafeText(std::string_view text) {
    // Most names are plain printable ASCII.
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const Utf8Step step = decodeUtf8At(text, i);
        if (!step.codePoint) {
            for (size_t k = 0; k < step.length; ++k) {
                appendEscape(out, "\\x%02x", static_cast<unsigned char>(text[i + k]));
            }
        } else if (!needsEscape(*step.codePoint)) {
            out.append(text.substr(i, step.length));
        } else if (*step.codePoint < 0x80) {
            appendEscape(out, "\\x%02x", *step.codePoint);
        } else {
            appendEscape(out, "\\u%04x", *step.codePoint);
        }
        i += step.length;
    }
    return out;
}

} // namespace korvel
