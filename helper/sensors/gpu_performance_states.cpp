#include "helper/sensors/gpu_performance_states.h"

#include "helper/sensor_context.h"

#include <algorithm>

namespace korvel {

namespace ioreport = platform::ioreport;

namespace {

constexpr std::chrono::microseconds kSampleWindow{300000};

} // namespace

GPUPerformanceStateSampler::GPUPerformanceStateSampler(ioreport::IOReportLoader& loader,
                                                       Sleep sleep)
    : loader_(loader), sleep_(std::move(sleep)) {}

void GPUPerformanceStateSampler::sample() {
    const auto library = loader_.open();
    if (!library) {
        return;
    }
    std::optional<std::vector<ioreport::ReportChannel>> delta;
    {
        auto channels = library->copyChannelsInGroup(ioreport::kGPUStatsGroup,
                                                     ioreport::kGPUPerformanceStatesSubGroup);
        if (!channels) {
            return;
        }
        const auto subscription = library->createSubscription(*channels);
        if (!subscription) {
            return;
        }
        const auto first = library->createSamples(*subscription, *channels);
        if (!first) {
            return;
        }
        sleep_(kSampleWindow);
        const auto second = library->createSamples(*subscription, *channels);
        if (!second) {
            return;
        }
        delta = library->createSamplesDelta(*first, *second);
    }
    if (!delta) {
        return;
    }
    const auto channel =
        std::find_if(delta->begin(), delta->end(), [](const ioreport::ReportChannel& c) {
            return c.group == ioreport::kGPUStatsGroup &&
                   c.subGroup == ioreport::kGPUPerformanceStatesSubGroup;
        });
    if (channel == delta->end()) {
        return;
    }
    double total = 0;
    double active = 0;
    for (const ioreport::StateResidency& state : channel->states) {
        const auto residency = static_cast<double>(state.residency);
        total += residency;
        if (state.name != "IDLE" && state.name != "DOWN" && state.name != "OFF") {
            active += residency;
        }
    }
    if (total > 0 && active >= 0) {
        lastIOReportGPUPercent_ = std::clamp(active / total * 100.0, 0.0, 100.0);
    }
}

int GPUPerformanceStateSampler::readGPUUsagePercent(double* percent) {
    if (percent != nullptr) {
        *percent = lastIOReportGPUPercent_;
    }
    sample();
    if (percent != nullptr) {
        *percent = lastIOReportGPUPercent_;
    }
    return lastIOReportGPUPercent_ > 0 ? 1 : 0;
}

} // namespace korvel

extern "C" int QNReadGPUUsagePercent(double* percent) {
    return korvel::liveSensorContext().gpuPerformanceStates.readGPUUsagePercent(percent);
}
