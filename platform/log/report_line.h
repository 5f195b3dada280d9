#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace korvel::platform::log {

// One plain line on stderr, "prog[pid]: message": for the few one-off failure
// reports that are not part of a subsystem's log.
void reportLine(std::string_view message);

// Receives each message as given to reportLine, before formatting.
using ReportLineSink = std::function<void(const std::string& message)>;

// Replaces where reportLine lines go and returns the previous sink; empty restores stderr.
ReportLineSink exchangeReportLineSink(ReportLineSink sink);

// The stderr line, newline included; control characters become spaces.
std::string reportLineText(std::string_view program, long pid, std::string_view message);

} // namespace korvel::platform::log
