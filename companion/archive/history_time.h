#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel::history {

// A moment as the history command takes it, in Unix seconds: "now"; a span
// back from now ("90s", "30m", "3h", "2d"); a local date and time
// ("2024-05-01 14:30", or a date alone for its midnight); "today HH:MM" or
// "yesterday HH:MM". No value for anything else.
std::optional<int64_t> parseHistoryTime(std::string_view text, int64_t now);

} // namespace korvel::history
