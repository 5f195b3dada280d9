#include "platform/log/failure_log.h"

#include "platform/log/report_line.h"

namespace korvel::platform::log {

FailureLog::FailureLog(std::string failurePrefix, std::string recoveredMessage)
    : failurePrefix_(std::move(failurePrefix)), recoveredMessage_(std::move(recoveredMessage)) {}

void FailureLog::failed(const std::string& description) {
    std::lock_guard lock(mutex_);
    if (reported_ != description) {
        reported_ = description;
        reportLine(failurePrefix_ + description);
    }
}

void FailureLog::succeeded() {
    std::lock_guard lock(mutex_);
    if (reported_) {
        reported_.reset();
        reportLine(recoveredMessage_);
    }
}

} // namespace korvel::platform::log
