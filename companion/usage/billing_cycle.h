#pragma once

#include <cstdint>

namespace korvel::usage {

// A span of local time, [start, end) in Unix seconds.
struct TimeSpan {
    int64_t start = 0;
    int64_t end = 0;

    bool contains(int64_t time) const { return time >= start && time < end; }
    int64_t length() const { return end - start; }
};

// The billing cycle holding `time`: from local midnight of `startDay` (1-31;
// in a shorter month its last day) to the same day of the next month. Local
// midnight follows the time zone's rules, so a cycle across a change of
// daylight saving time is an hour shorter or longer.
TimeSpan billingCycle(int64_t time, int startDay);
// The local calendar month holding `time`.
inline TimeSpan calendarMonth(int64_t time) {
    return billingCycle(time, 1);
}
// The local day holding `time`.
TimeSpan localDay(int64_t time);

} // namespace korvel::usage
