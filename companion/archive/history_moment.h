#pragma once

#include "companion/archive/sqlite_database.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::history {

// One step through the recorded past: a reading, or a minute or hour bucket
// where the readings are no longer kept. Each moment is shown from the
// finest tier that holds it.
struct Step {
    int64_t time = 0; // Unix seconds: the reading's, or its bucket's start
    size_t tier = 0;  // into kTiers: 0 readings, 1 minutes, 2 hours
    friend bool operator==(const Step&, const Step&) = default;
};

// The step at `time`, or the last before it; the first step kept when the
// history begins after it. None when nothing is recorded.
std::optional<Step> stepAt(Database& db, int64_t time);
std::optional<Step> stepBefore(Database& db, const Step& step);
std::optional<Step> stepAfter(Database& db, const Step& step);

// One process as a step saw it: its usage over the step, its memory and
// sockets as last recorded by then.
struct MomentProcess {
    int32_t pid = 0;
    std::string name;
    std::optional<std::string> executable;
    std::optional<uint32_t> uid;
    std::optional<std::string> user, unit, appId, container;
    double cpuPercent = 0; // of one core
    uint64_t rssBytes = 0; // the peak within a bucket
    double rateIn = 0;     // TCP payload, bytes a second
    double rateOut = 0;
    int64_t tcpSockets = 0; // the most within a bucket
    int64_t udpSockets = 0;
};

struct MomentInterface {
    std::string name;
    double rateIn = 0;
    double rateOut = 0;
};

struct MomentSystem {
    double cpuPercent = 0;
    double load1m = 0;
    uint64_t memoryTotal = 0, memoryUsed = 0;
    int memoryPressure = 0;
    std::optional<double> gpuPercent, cpuTemperature, gpuTemperature;
};

struct Moment {
    Step step;
    int64_t seconds = 0; // what the usage is over; 0 for a first reading
    std::optional<Step> previous, next;
    std::vector<MomentProcess> processes; // those alive within the step
    std::vector<MomentInterface> interfaces;
    MomentSystem system;
};

Moment momentOf(Database& db, const Step& step);

} // namespace korvel::history
