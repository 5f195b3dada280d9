#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace korvel::platform::log {

// One plain line on stderr, "prog[pid]: message": for the few one-off failure
// reports that are not part of a subsystem's log.
void nsLog(std::string_view message);

// Receives each message as given to nsLog, before formatting.
using NSLogSink = std::function<void(const std::string& message)>;

// Replaces where nsLog lines go and returns the previous sink; empty restores stderr.
NSLogSink exchangeNSLogSink(NSLogSink sink);

// The stderr line, newline included; control characters become spaces.
std::string nsLogLine(std::string_view program, long pid, std::string_view message);

} // namespace korvel::platform::log
