#include "platform/ioreport/gpu_counter.h"

#include <chrono>

namespace korvel::platform::ioreport {

MonotonicClock liveMonotonicClock() {
    return [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
}

std::optional<std::vector<StateResidency>> busyPercentResidencies(int64_t first, int64_t second) {
    if (first < 0 || first > 100 || second < 0 || second > 100) {
        return std::nullopt;
    }
    const int64_t busy = first + second;
    return std::vector<StateResidency>{{"BUSY", busy}, {"IDLE", 200 - busy}};
}

} // namespace korvel::platform::ioreport
