#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace korvel::platform::log {

// The reportLine lines of a task retried on every refresh: a failure is logged
// when it is not the one already reported, and the first success after a
// failure says once that the task recovered. A description is the kind of
// failure (what was done, and the system's reason), so it must not carry
// what changes from one attempt to the next, such as a temporary's name.
class FailureLog {
public:
    FailureLog(std::string failurePrefix, std::string recoveredMessage);

    void failed(const std::string& description);
    void succeeded();

private:
    std::mutex mutex_;
    const std::string failurePrefix_;
    const std::string recoveredMessage_;
    std::optional<std::string> reported_;
};

} // namespace korvel::platform::log
