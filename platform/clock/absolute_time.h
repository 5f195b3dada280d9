#pragma once

#include <string>

namespace korvel::platform {

// Seconds since 2001-01-01 00:00:00 UTC from the real-time clock.
double secondsSince2001();

// The local wall-clock time as HH:MM:SS, for lines a person reads.
std::string localClockTime();

// Seconds since the machine booted, suspended time included: with it, times
// the kernel counts from boot become absolute times.
double secondsSinceBoot();

inline constexpr double kUnixToAbsoluteTimeOffset = 978307200.0;

// Unix seconds of a time counted from 2001.
inline double unixSeconds(double secondsSince2001) {
    return secondsSince2001 + kUnixToAbsoluteTimeOffset;
}

} // namespace korvel::platform
