#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::ioreport {

inline constexpr const char* kGPUStatsGroup = "GPU Stats";
inline constexpr const char* kGPUPerformanceStatesSubGroup = "GPU Performance States";

struct StateResidency {
    std::string name;
    int64_t residency = 0;

    bool operator==(const StateResidency&) const = default;
};

// One channel of a sample delta: how long the device spent in each state.
struct ReportChannel {
    std::string group;
    std::string subGroup;
    std::vector<StateResidency> states;
};

// Opaque objects that only the library that made them reads.
class ReportChannels {
public:
    virtual ~ReportChannels() = default;
};
class ReportSubscription {
public:
    virtual ~ReportSubscription() = default;
};
class ReportSample {
public:
    virtual ~ReportSample() = default;
};

// An open reporting library. Everything it makes must be released before it is.
class IOReportLibrary {
public:
    virtual ~IOReportLibrary() = default;

    // Null when the group has no channels.
    virtual std::unique_ptr<ReportChannels> copyChannelsInGroup(const std::string& group,
                                                                const std::string& subGroup) = 0;
    virtual std::unique_ptr<ReportSubscription> createSubscription(ReportChannels& channels) = 0;
    virtual std::unique_ptr<ReportSample> createSamples(ReportSubscription& subscription,
                                                        ReportChannels& channels) = 0;
    // The channels whose states could be compared between the two samples.
    virtual std::optional<std::vector<ReportChannel>>
    createSamplesDelta(const ReportSample& first, const ReportSample& second) = 0;
};

class IOReportLoader {
public:
    virtual ~IOReportLoader() = default;
    // Null when the library cannot be loaded.
    virtual std::unique_ptr<IOReportLibrary> open() = 0;
};

} // namespace korvel::platform::ioreport
