#include "platform/clock/absolute_time.h"

#include <time.h>

#include <ctime>

namespace korvel::platform {

double secondsSince2001() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) - kUnixToAbsoluteTimeOffset +
           static_cast<double>(now.tv_nsec) / 1e9;
}

std::string localClockTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "";
    if (::localtime_r(&now, &local) != nullptr) {
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
    }
    return text;
}

double secondsSinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace korvel::platform
