#include "companion/usage/billing_cycle.h"

#include <algorithm>
#include <ctime>

namespace korvel::usage {
namespace {

int daysIn(int year, int month) { // month 0-11
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 1 && leap ? 29 : kDays[month];
}

// Local midnight of a day; months outside 0-11 roll into the next year.
int64_t localMidnight(int year, int month, int day) {
    year += month >= 0 ? month / 12 : (month - 11) / 12;
    month = ((month % 12) + 12) % 12;
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month;
    fields.tm_mday = std::min(day, daysIn(year, month));
    fields.tm_isdst = -1; // whatever the zone says that day
    return static_cast<int64_t>(std::mktime(&fields));
}

std::tm localFields(int64_t time) {
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm fields{};
    localtime_r(&t, &fields);
    return fields;
}

} // namespace

TimeSpan billingCycle(int64_t time, int startDay) {
    startDay = std::clamp(startDay, 1, 31);
    const std::tm now = localFields(time);
    const int year = now.tm_year + 1900;
    int month = now.tm_mon;
    if (localMidnight(year, month, startDay) > time) {
        month -= 1;
    }
    return {localMidnight(year, month, startDay), localMidnight(year, month + 1, startDay)};
}

TimeSpan localDay(int64_t time) {
    const std::tm now = localFields(time);
    const int year = now.tm_year + 1900;
    const int64_t start = localMidnight(year, now.tm_mon, now.tm_mday);
    // The next day by the calendar, not by 86,400 seconds.
    std::tm next{};
    next.tm_year = now.tm_year;
    next.tm_mon = now.tm_mon;
    next.tm_mday = now.tm_mday + 1;
    next.tm_isdst = -1;
    return {start, static_cast<int64_t>(std::mktime(&next))};
}

} // namespace korvel::usage
