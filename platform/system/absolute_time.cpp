#include "platform/system/absolute_time.h"

#include <time.h>

namespace korvel::platform {

double absoluteTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) - kUnixToAbsoluteTimeOffset +
           static_cast<double>(now.tv_nsec) / 1e9;
}

double secondsSinceBoot() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace korvel::platform
