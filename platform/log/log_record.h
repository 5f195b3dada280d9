#pragma once

#include <string>

namespace korvel::platform::log {

// The unified log's levels. Fault is for conditions that point at a defect or a
// dead peer, error for failures the program recovers from.
enum class Level { info, debug, error, fault };

// The syslog priority each level is stored under (journal PRIORITY=).
constexpr int syslogPriority(Level level) {
    switch (level) {
    case Level::info:
        return 6;
    case Level::debug:
        return 7;
    case Level::error:
        return 3;
    case Level::fault:
        return 2;
    }
    return 6;
}

constexpr const char* levelName(Level level) {
    switch (level) {
    case Level::info:
        return "info";
    case Level::debug:
        return "debug";
    case Level::error:
        return "error";
    case Level::fault:
        return "fault";
    }
    return "info";
}

struct LogRecord {
    Level level = Level::info;
    std::string subsystem;
    std::string category;
    std::string message;
};

} // namespace korvel::platform::log
