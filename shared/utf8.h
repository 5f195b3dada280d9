#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Linux names are arbitrary bytes; every string we publish must be valid UTF-8.
// Each maximal invalid subsequence becomes one U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

// The code point at `offset` and the bytes it takes; for bytes that are not
// UTF-8, no value and the length of the maximal invalid subsequence.
struct Utf8Step {
    std::optional<char32_t> codePoint;
    size_t length = 1;
};
Utf8Step decodeUtf8At(std::string_view bytes, size_t offset);

// Appends the UTF-8 form of a code point the caller has checked.
void appendUtf8(std::string& out, char32_t codePoint);

} // namespace korvel
