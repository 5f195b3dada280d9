#pragma once

#include "companion/model/net_process.h"
#include "companion/model/reading_frame.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace korvel::exporter {

using GroupKey = std::pair<std::string, std::string>; // (group, user)

// Where every group without a series of its own adds up.
inline const GroupKey kOtherGroup{"other", "other"};

// How many of the groups busiest in a reading earn a series of their own.
inline constexpr size_t kMaxProcessGroups = 20;
// A series stays while its group keeps changing, so that it does not come
// and go with the ranking. At most this many stay: past that, the one
// unchanged longest gives way to a newcomer once it has rested a minute, and
// till then the newcomer counts in "other".
inline constexpr size_t kMaxSeriesGroups = 2 * kMaxProcessGroups;
inline constexpr double kRestBeforeGivingWay = 60;
// A group unchanged this long gives up its series; a process unseen this long
// is forgotten.
inline constexpr double kIdleSeconds = 600;
// Series that went are remembered, so that one coming back goes on from
// where it stopped; beyond this many the one that went first is forgotten.
inline constexpr size_t kRememberedGroups = 1000;

struct GroupCounters {
    uint64_t cpuNS = 0;
    uint64_t tcpBytesIn = 0;
    uint64_t tcpBytesOut = 0;
    uint64_t udpBytesIn = 0; // counted only where the kernel meter runs
    uint64_t udpBytesOut = 0;
    std::map<std::string, uint64_t> gpuNS; // by engine class
    uint64_t diskReadBytes = 0;
    uint64_t diskWriteBytes = 0;

    bool operator==(const GroupCounters&) const = default;
};

// Per-group counters that never fall for the life of the engine: a group
// adds up what its processes used in each frame (their ended sockets, and
// processes that have gone, included), so one that ends keeps what it had
// counted. Use of a group without a series goes to "other", which thus also
// holds what groups did after their series went.
class ProcessGroupCounters {
public:
    using GroupOf = std::function<GroupKey(const NetProcess&)>;

    // Folds in one frame at now (seconds) and returns the counters of every
    // group with a series, "other" included.
    std::map<GroupKey, GroupCounters> fold(const ReadingFrame& frame, const GroupOf& groupOf,
                                           double now);

private:
    struct SeriesState {
        GroupCounters totals;
        double changed = 0; // or, once remembered, when the series went
    };

    void admit(const GroupKey& group, const std::set<GroupKey>& busiest, double now);
    void retire(std::map<GroupKey, SeriesState>::iterator series, double now);

    std::map<GroupKey, SeriesState> series_;
    std::map<GroupKey, SeriesState> remembered_;
    GroupCounters other_;
};

} // namespace korvel::exporter
