#include "companion/text/terminal_text.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(TerminalTextTest, ControlsBidiAndInvalidBytesBecomeVisibleEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain name", "plain name"},
        {"caf\xC3\xA9 \xE5\xA4\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE5\xA4\xA9 \xF0\x9F\x98\x80"},
        {"a\tb", "a\tb"},
        {"x\x1b]0;PWNED\x07", "x\\x1b]0;PWNED\\x07"},
        {"row\r\nfake", "row\\x0d\\x0afake"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x1bP1$r\x1b\\", "\\x1bP1$r\\x1b\\"}, // DCS
        {"del\x7f", "del\\x7f"},
        {"csi\xC2\x9B"
         "2J",
         "csi\\u009b2J"},                                       // C1 as UTF-8
        {"\xC2\x80\xC2\x9F\xC2\xA0", "\\u0080\\u009f\xC2\xA0"}, // NBSP is printable
        {"raw\x9b"
         "2J",
         "raw\\x9b2J"}, // C1 as a lone byte
        {"evil\xE2\x80\xAEtxt.exe", "evil\\u202etxt.exe"},
        {"\xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C",
         "\\u202a\\u2066\\u2069\\u200e\\u200f\\u061c"},
        {"\xFF\xFE", "\\xff\\xfe"},
        {"cut\xE2\x82", "cut\\xe2\\x82"},
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"}, // a surrogate is not UTF-8
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(terminalSafeText(raw), shown) << raw;
        EXPECT_EQ(terminalSafeText(shown), shown) << "escaping again changed " << shown;
    }
    std::string everyControl;
    for (int c = 0; c < 0x20; ++c) {
        everyControl += static_cast<char>(c);
    }
    for (const unsigned char c : terminalSafeText(everyControl + "\x7f")) {
        EXPECT_TRUE(c == '\t' || (c >= 0x20 && c < 0x7F)) << int(c);
    }
}

} // namespace
} // namespace korvel
