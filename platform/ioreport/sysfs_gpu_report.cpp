#include "platform/ioreport/sysfs_gpu_report.h"

#include "platform/ioreport/amd_busy_counter.h"
#include "platform/ioreport/devfreq_counter.h"
#include "platform/ioreport/intel_idle_counter.h"
#include "platform/ioreport/nvml_counter.h"
#include "platform/system/sysfs_entries.h"

#include <algorithm>

namespace korvel::platform::ioreport {

namespace {

class GPUChannels : public ReportChannels {
public:
    std::vector<std::unique_ptr<GPUCounter>> counters;
};

class GPUSubscription : public ReportSubscription {
public:
    explicit GPUSubscription(GPUChannels& channels) : channels(channels) {}
    GPUChannels& channels;
};

class GPUSample : public ReportSample {
public:
    const GPUChannels* channels = nullptr;
    std::vector<std::optional<GPUCounterReading>> readings;
};

bool looksLikePciAddress(const std::string& name) {
    return name.find(':') != std::string::npos && name.find('.') != std::string::npos;
}

class SysfsGPUReport : public IOReportLibrary {
public:
    SysfsGPUReport(const std::string& sysRoot, const std::string& nvmlLibraryPath,
                   const MonotonicClock& clock)
        : sysRoot_(sysRoot), nvmlLibraryPath_(nvmlLibraryPath), clock_(clock) {}

    std::unique_ptr<ReportChannels> copyChannelsInGroup(const std::string& group,
                                                        const std::string& subGroup) override {
        if (group != kGPUStatsGroup || subGroup != kGPUPerformanceStatesSubGroup) {
            return nullptr;
        }
        auto channels = std::make_unique<GPUChannels>();
        addDrmCards(*channels);
        addNvidiaGPUs(*channels);
        addDevfreqGPUs(*channels);
        if (channels->counters.empty()) {
            return nullptr;
        }
        return channels;
    }

    std::unique_ptr<ReportSubscription> createSubscription(ReportChannels& channels) override {
        auto* gpuChannels = dynamic_cast<GPUChannels*>(&channels);
        if (gpuChannels == nullptr) {
            return nullptr;
        }
        return std::make_unique<GPUSubscription>(*gpuChannels);
    }

    std::unique_ptr<ReportSample> createSamples(ReportSubscription& subscription,
                                                ReportChannels& channels) override {
        auto* gpuSubscription = dynamic_cast<GPUSubscription*>(&subscription);
        if (gpuSubscription == nullptr || &gpuSubscription->channels != &channels) {
            return nullptr;
        }
        auto sample = std::make_unique<GPUSample>();
        sample->channels = &gpuSubscription->channels;
        for (const auto& counter : gpuSubscription->channels.counters) {
            sample->readings.push_back(counter->read());
        }
        return sample;
    }

    std::optional<std::vector<ReportChannel>>
    createSamplesDelta(const ReportSample& first, const ReportSample& second) override {
        const auto* a = dynamic_cast<const GPUSample*>(&first);
        const auto* b = dynamic_cast<const GPUSample*>(&second);
        if (a == nullptr || b == nullptr || a->channels != b->channels ||
            a->readings.size() != b->readings.size()) {
            return std::nullopt;
        }
        std::vector<ReportChannel> awake;
        std::vector<ReportChannel> asleep;
        for (size_t i = 0; i < a->readings.size(); ++i) {
            const auto& before = a->readings[i];
            const auto& after = b->readings[i];
            if (!before || !after) {
                continue;
            }
            ReportChannel channel{kGPUStatsGroup, kGPUPerformanceStatesSubGroup, {}};
            if (!before->awake || !after->awake) {
                const int64_t elapsed = after->monotonicMicros - before->monotonicMicros;
                channel.states.push_back({"OFF", std::max<int64_t>(elapsed, 1)});
                asleep.push_back(std::move(channel));
                continue;
            }
            auto states = a->channels->counters[i]->residencies(*before, *after);
            if (!states) {
                continue;
            }
            channel.states = std::move(*states);
            awake.push_back(std::move(channel));
        }
        awake.insert(awake.end(), std::make_move_iterator(asleep.begin()),
                     std::make_move_iterator(asleep.end()));
        return awake;
    }

private:
    void addDrmCards(GPUChannels& channels) const {
        const std::string drmDir = sysRoot_ + "/class/drm";
        for (const unsigned card : sysfs::numberedEntries(drmDir, "card")) {
            const std::string cardDir = drmDir + "/card" + std::to_string(card);
            if (AmdBusyCounter::isPresent(cardDir)) {
                channels.counters.push_back(std::make_unique<AmdBusyCounter>(cardDir, clock_));
            } else if (auto residency = IntelIdleCounter::residencyPath(cardDir)) {
                channels.counters.push_back(
                    std::make_unique<IntelIdleCounter>(cardDir, *residency, clock_));
            }
        }
    }

    void addNvidiaGPUs(GPUChannels& channels) const {
        const std::string driverDir = sysRoot_ + "/bus/pci/drivers/nvidia";
        std::vector<std::string> addresses;
        bool anyAwake = false;
        for (const std::string& name : sysfs::entryNames(driverDir)) {
            if (looksLikePciAddress(name)) {
                addresses.push_back(name);
                anyAwake = anyAwake || sysfs::deviceIsAwake(driverDir + "/" + name);
            }
        }
        if (addresses.empty()) {
            return;
        }
        std::shared_ptr<NvmlSession> session = NvmlSession::load(nvmlLibraryPath_);
        if (!session) {
            return;
        }
        // Starting a session powers the GPUs up; a sleeping one is left alone.
        if (anyAwake && !session->start()) {
            return;
        }
        for (const std::string& address : addresses) {
            channels.counters.push_back(
                std::make_unique<NvmlCounter>(session, driverDir + "/" + address, address, clock_));
        }
    }

    void addDevfreqGPUs(GPUChannels& channels) const {
        const std::string devfreqDir = sysRoot_ + "/class/devfreq";
        for (const std::string& name : sysfs::entryNames(devfreqDir)) {
            if (DevfreqCounter::isGPU(name)) {
                channels.counters.push_back(
                    std::make_unique<DevfreqCounter>(devfreqDir + "/" + name, clock_));
            }
        }
    }

    std::string sysRoot_;
    std::string nvmlLibraryPath_;
    MonotonicClock clock_;
};

} // namespace

SysfsGPUReportLoader::SysfsGPUReportLoader(std::string sysRoot, std::string nvmlLibraryPath,
                                           MonotonicClock clock)
    : sysRoot_(std::move(sysRoot)), nvmlLibraryPath_(std::move(nvmlLibraryPath)),
      clock_(std::move(clock)) {}

std::unique_ptr<IOReportLibrary> SysfsGPUReportLoader::open() {
    return std::make_unique<SysfsGPUReport>(sysRoot_, nvmlLibraryPath_, clock_);
}

} // namespace korvel::platform::ioreport
