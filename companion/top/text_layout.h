#pragma once

#include "companion/text/figure_text.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text measured and cut in terminal columns: CJK and emoji take two, marks
// that combine with the letter before them none.
namespace korvel::top {

size_t columnCount(std::string_view text);

// Made terminal-safe (a tab becomes a space), cut to at most `width` columns
// (ending in "…" when cut, or "~" without Unicode), then padded with spaces
// to exactly `width`. Every line of the view passes through here, so no name
// reaches the terminal raw.
std::string fitLeft(std::string_view text, size_t width, bool unicode = true);
// The same, right-aligned; cut from the left when too long.
std::string fitRight(std::string_view text, size_t width, bool unicode = true);

// The last `width` values scaled against their own maximum, one glyph each;
// ASCII levels without Unicode. Shorter histories are padded on the left.
std::string sparkline(const std::vector<double>& values, size_t width, bool unicode);

} // namespace korvel::top
