#include "companion/top/text_layout.h"

#include "companion/text/terminal_text.h"
#include "shared/utf8.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

namespace korvel::top {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// Marks drawn over the character before them, and invisible format characters.
constexpr CodePointRange kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0900, 0x0902},
    {0x093A, 0x093A}, {0x093C, 0x093C},   {0x0941, 0x0948},   {0x094D, 0x094D},   {0x0951, 0x0957},
    {0x0962, 0x0963}, {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1160, 0x11FF},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},   {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},
    {0x20D0, 0x20FF}, {0x302A, 0x302D},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth characters, and emoji shown as pictures.
constexpr CodePointRange kDoubleWidth[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F202}, {0x1F210, 0x1F23B},
    {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E},
    {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <size_t N> bool contains(const CodePointRange (&ranges)[N], char32_t c) {
    const auto* it =
        std::lower_bound(std::begin(ranges), std::end(ranges), c,
                         [](const CodePointRange& r, char32_t v) { return r.last < v; });
    return it != std::end(ranges) && it->first <= c;
}

size_t codePointColumns(char32_t c) {
    if (c < 0x300) {
        return c < 0x20 || (c >= 0x7F && c < 0xA0) ? 0 : 1;
    }
    if (contains(kZeroWidth, c)) {
        return 0;
    }
    return contains(kDoubleWidth, c) ? 2 : 1;
}

// One code point of text and the columns it takes; bytes that are not UTF-8
// are never left in a cell, so their width does not matter.
struct Glyph {
    size_t offset;
    size_t length;
    size_t columns;
};

std::vector<Glyph> glyphsOf(std::string_view text) {
    std::vector<Glyph> glyphs;
    for (size_t i = 0; i < text.size();) {
        const Utf8Step step = decodeUtf8At(text, i);
        glyphs.push_back({i, step.length, step.codePoint ? codePointColumns(*step.codePoint) : 1});
        i += step.length;
    }
    return glyphs;
}

size_t columnsOf(const std::vector<Glyph>& glyphs) {
    return std::accumulate(glyphs.begin(), glyphs.end(), size_t{0},
                           [](size_t sum, const Glyph& glyph) { return sum + glyph.columns; });
}

// What a cell shows of `text`: terminal-safe, and a tab is one space, since
// a tab stop would move every column after it.
std::string cellText(std::string_view text) {
    std::string safe = terminalSafeText(text);
    std::replace(safe.begin(), safe.end(), '\t', ' ');
    return safe;
}

} // namespace

size_t columnCount(std::string_view text) {
    return columnsOf(glyphsOf(text));
}

std::string fitLeft(std::string_view raw, size_t width, bool unicode) {
    const std::string text = cellText(raw);
    const std::vector<Glyph> glyphs = glyphsOf(text);
    const size_t columns = columnsOf(glyphs);
    if (columns <= width) {
        return text + std::string(width - columns, ' ');
    }
    if (width == 0) {
        return {};
    }
    // Whole glyphs up to one column short, marks kept with their letter; a
    // wide glyph that would straddle the edge leaves a space instead.
    size_t used = 0, end = 0;
    for (const Glyph& glyph : glyphs) {
        if (used + glyph.columns > width - 1) {
            break;
        }
        used += glyph.columns;
        end = glyph.offset + glyph.length;
    }
    return text.substr(0, end) + std::string(width - 1 - used, ' ') + (unicode ? "…" : "~");
}

std::string fitRight(std::string_view raw, size_t width, bool unicode) {
    const std::string text = cellText(raw);
    const std::vector<Glyph> glyphs = glyphsOf(text);
    const size_t columns = columnsOf(glyphs);
    if (columns <= width) {
        return std::string(width - columns, ' ') + text;
    }
    if (width == 0) {
        return {};
    }
    size_t used = 0, start = text.size();
    for (auto it = glyphs.rbegin(); it != glyphs.rend(); ++it) {
        if (used + it->columns > width - 1) {
            break;
        }
        used += it->columns;
        start = it->offset;
    }
    // A mark whose letter was cut would land on the ellipsis: drop it too.
    while (start < text.size()) {
        const Utf8Step step = decodeUtf8At(text, start);
        if (!step.codePoint || codePointColumns(*step.codePoint) != 0) {
            break;
        }
        start += step.length;
    }
    return (unicode ? "…" : "~") + std::string(width - 1 - used, ' ') + text.substr(start);
}

std::string sparkline(const std::vector<double>& values, size_t width, bool unicode) {
    static constexpr std::array<const char*, 8> kBlocks = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    static constexpr std::string_view kAscii = "_.-~=+*#";
    const size_t shown = std::min(values.size(), width);
    const auto first = values.end() - static_cast<std::ptrdiff_t>(shown);
    double top = 0;
    for (auto it = first; it != values.end(); ++it) {
        if (std::isfinite(*it)) {
            top = std::max(top, *it);
        }
    }
    std::string line(width - shown, ' ');
    for (auto it = first; it != values.end(); ++it) {
        const double value = std::isfinite(*it) ? std::max(*it, 0.0) : 0.0;
        const size_t level =
            top > 0 ? std::min<size_t>(7, static_cast<size_t>(value / top * 7.0 + 0.5)) : 0;
        line += unicode ? std::string_view(kBlocks[level]) : kAscii.substr(level, 1);
    }
    return line;
}

} // namespace korvel::top
