#include "platform/log/logger.h"

#include <utility>

namespace korvel::platform::log {

Logger::Logger(std::string subsystem, std::string category, LogSink sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

void Logger::log(Level level, std::string_view message) const {
    const LogRecord record{level, subsystem_, category_, std::string(message)};
    if (sink_) {
        sink_(record);
    } else {
        writeToSystemLog(record);
    }
}

} // namespace korvel::platform::log
