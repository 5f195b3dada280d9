#pragma once

#include "platform/log/log_sink.h"

#include <string>
#include <string_view>

namespace korvel::platform::log {

// A log handle: every record carries its subsystem and category. Without an
// explicit sink, records go to the system log (see writeToSystemLog).
class Logger {
public:
    Logger(std::string subsystem, std::string category, LogSink sink = {});

    void log(Level level, std::string_view message) const;
    void info(std::string_view message) const { log(Level::info, message); }
    void debug(std::string_view message) const { log(Level::debug, message); }
    void error(std::string_view message) const { log(Level::error, message); }
    void fault(std::string_view message) const { log(Level::fault, message); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
    LogSink sink_;
};

} // namespace korvel::platform::log
