#pragma once

#include <string>
#include <string_view>

namespace korvel {

// Linux names are arbitrary bytes; every string we publish must be valid UTF-8.
// Each maximal invalid subsequence becomes one U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

} // namespace korvel
