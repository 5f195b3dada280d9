#include "shared/utf8.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(Utf8Test, ValidTextPassesAndEachMaximalInvalidSubsequenceBecomesOneReplacement) {
    for (const std::string text : {"", "plain", "\xC3\xA9t\xC3\xA9", "\xE2\x80\x94",
                                   "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(text)) << text;
        EXPECT_EQ(sanitizeUtf8(text), text);
    }
    const std::string fffd = "\xEF\xBF\xBD";
    // A lone continuation byte, an overlong, a surrogate, a value past U+10FFFF,
    // a truncated sequence at the end and one cut short by an ASCII byte.
    EXPECT_EQ(sanitizeUtf8("a\x80z"), "a" + fffd + "z");
    EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), fffd + fffd);
    EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), fffd + fffd + fffd);
    EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
    EXPECT_EQ(sanitizeUtf8("ok\xE2\x82"), "ok" + fffd);
    EXPECT_EQ(sanitizeUtf8("\xF0\x9F\x98x"), fffd + "x");
    EXPECT_FALSE(isValidUtf8("\xFF"));
    EXPECT_TRUE(isValidUtf8(sanitizeUtf8("\xFF\xFE\xC3")));
}

} // namespace
} // namespace korvel
