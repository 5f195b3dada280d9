#include "companion/archive/history_time.h"

#include <charconv>
#include <ctime>

namespace korvel::history {
namespace {

bool number(std::string_view text, int& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "HH:MM" into the fields of day.
bool clock(std::string_view text, std::tm& day) {
    int hour = 0, minute = 0;
    if (text.size() != 5 || text[2] != ':' || !number(text.substr(0, 2), hour) ||
        !number(text.substr(3), minute) || hour > 23 || minute > 59) {
        return false;
    }
    day.tm_hour = hour;
    day.tm_min = minute;
    day.tm_sec = 0;
    return true;
}

std::optional<int64_t> local(std::tm day) {
    day.tm_isdst = -1;
    const std::time_t t = std::mktime(&day);
    return t == -1 ? std::nullopt : std::optional<int64_t>(t);
}

} // namespace

std::optional<int64_t> parseHistoryTime(std::string_view text, int64_t now) {
    if (text == "now") {
        return now;
    }
    static constexpr std::pair<char, int64_t> kUnits[] = {
        {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    for (const auto& [unit, seconds] : kUnits) {
        int count = 0;
        if (text.size() > 1 && text.back() == unit &&
            number(text.substr(0, text.size() - 1), count) && count >= 0) {
            return now - count * seconds;
        }
    }
    const std::time_t nowTime = static_cast<std::time_t>(now);
    std::tm day{};
    localtime_r(&nowTime, &day);
    for (const auto& [word, back] : {std::pair{"today ", 0}, std::pair{"yesterday ", 1}}) {
        if (text.starts_with(word)) {
            day.tm_mday -= back;
            return clock(text.substr(std::string_view(word).size()), day) ? local(day)
                                                                          : std::nullopt;
        }
    }
    int year = 0, month = 0, mday = 0;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !number(text.substr(0, 4), year) ||
        !number(text.substr(5, 2), month) || !number(text.substr(8, 2), mday) || month < 1 ||
        month > 12 || mday < 1 || mday > 31) {
        return std::nullopt;
    }
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = mday;
    if (text.size() == 10) {
        return local(date);
    }
    return text[10] == ' ' && clock(text.substr(11), date) ? local(date) : std::nullopt;
}

} // namespace korvel::history
