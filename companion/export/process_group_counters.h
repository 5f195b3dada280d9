#pragma once

#include "companion/model/net_process.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
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

    bool operator==(const GroupCounters&) const = default;
};

// Per-group counters that never fall for the life of the engine: a group
// adds up the increases its processes and sockets showed from one reading to
// the next (all of it, for one seen first), so one that ends keeps what it
// had counted. Increases of a group without a series go to "other", which
// thus also holds what groups did after their series went.
class ProcessGroupCounters {
public:
    using GroupOf = std::function<GroupKey(const NetProcess&)>;

    // Folds in the processes alive at now (seconds), and the last bytes of
    // the sockets of theirs that ended since the last reading, and returns
    // the counters of every group with a series, "other" included.
    std::map<GroupKey, GroupCounters> fold(const std::vector<NetProcess>& processes,
                                           const GroupOf& groupOf, double now,
                                           const std::vector<HelperConnectionData>& ended = {});

private:
    // A socket of one process: protocol, then local and remote address and port.
    using SocketKey = std::tuple<int, std::string, uint16_t, std::string, uint16_t>;
    struct ProcessState {
        uint64_t cpuNS = 0;
        std::map<SocketKey, std::pair<uint64_t, uint64_t>> tcpBytes;
        double seen = 0;
    };
    struct SeriesState {
        GroupCounters totals;
        double changed = 0; // or, once remembered, when the series went
    };

    void admit(const GroupKey& group, const std::set<GroupKey>& busiest, double now);
    void retire(std::map<GroupKey, SeriesState>::iterator series, double now);

    // Keyed by pid and name: the pair names one process closely enough.
    std::map<std::pair<int32_t, std::string>, ProcessState> processes_;
    std::map<GroupKey, SeriesState> series_;
    std::map<GroupKey, SeriesState> remembered_;
    GroupCounters other_;
};

} // namespace korvel::exporter
