#include "companion/export/process_group_counters.h"

#include "companion/model/transport_proto.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>
#include <vector>

namespace korvel::exporter {
namespace {

// What a cumulative figure grew by since last; a smaller one has started
// again (a pid or a socket reused), so all of it is new.
uint64_t increase(uint64_t& last, uint64_t now) {
    const uint64_t grown = now >= last ? now - last : now;
    last = now;
    return grown;
}

void add(GroupCounters& into, const GroupCounters& grown) {
    into.cpuNS += grown.cpuNS;
    into.tcpBytesIn += grown.tcpBytesIn;
    into.tcpBytesOut += grown.tcpBytesOut;
}

} // namespace

std::map<GroupKey, GroupCounters>
ProcessGroupCounters::fold(const std::vector<NetProcess>& processes, const GroupOf& groupOf,
                           double now, const std::vector<HelperConnectionData>& ended) {
    std::unordered_map<int32_t, std::vector<const HelperConnectionData*>> endedByPid;
    for (const auto& row : ended) {
        endedByPid[row.pid].push_back(&row);
    }
    std::map<GroupKey, GroupCounters> increases;
    for (const auto& process : processes) {
        auto& state = processes_[{process.id, process.name}];
        auto& grown = increases[groupOf(process)];
        grown.cpuNS += increase(state.cpuNS, process.cpuNS);
        decltype(state.tcpBytes) stillOpen;
        for (const auto& socket : process.connections) {
            if (!socket.bytesIn && !socket.bytesOut) {
                continue;
            }
            const SocketKey key{static_cast<int>(socket.proto), socket.localAddr, socket.localPort,
                                socket.remoteAddr, socket.remotePort};
            auto last = state.tcpBytes[key];
            grown.tcpBytesIn += increase(last.first, socket.bytesIn.value_or(0));
            grown.tcpBytesOut += increase(last.second, socket.bytesOut.value_or(0));
            stillOpen[key] = last;
        }
        // Counted from where this reading or the last one left the socket;
        // one never listed (it lived between two readings) counts whole.
        // Those of a process no longer listed are the engine's other TCP.
        for (const HelperConnectionData* row : endedByPid[process.id]) {
            const SocketKey key{static_cast<int>(transportProtoFromHelper(row->proto)),
                                row->localAddr, row->localPort, row->remoteAddr, row->remotePort};
            const auto listed = stillOpen.find(key);
            auto last = listed != stillOpen.end() ? listed->second : state.tcpBytes[key];
            grown.tcpBytesIn += increase(last.first, row->bytesIn.value_or(last.first));
            grown.tcpBytesOut += increase(last.second, row->bytesOut.value_or(last.second));
            stillOpen.erase(key);
        }
        state.tcpBytes = std::move(stillOpen);
        state.seen = now;
    }

    // The groups that used the most CPU time since the last reading.
    std::vector<std::pair<uint64_t, GroupKey>> ranked;
    for (const auto& [group, grown] : increases) {
        if (grown.cpuNS > 0 && group != kOtherGroup) {
            ranked.emplace_back(grown.cpuNS, group);
        }
    }
    const size_t top = std::min(ranked.size(), kMaxProcessGroups);
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(top),
                      ranked.end(), [](const auto& a, const auto& b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    std::set<GroupKey> busiest;
    for (size_t i = 0; i < top; ++i) {
        busiest.insert(ranked[i].second);
    }
    for (const auto& group : busiest) {
        admit(group, busiest, now);
    }

    for (const auto& [group, grown] : increases) {
        const auto series = series_.find(group);
        if (series == series_.end()) {
            add(other_, grown);
        } else if (grown != GroupCounters{}) {
            add(series->second.totals, grown);
            series->second.changed = now;
        }
    }
    for (auto it = series_.begin(); it != series_.end();) {
        const auto next = std::next(it);
        if (now - it->second.changed >= kIdleSeconds) {
            retire(it, now);
        }
        it = next;
    }
    // A process unseen for a while has ended, not merely dropped out of a
    // reading (system processes hidden for a moment).
    std::erase_if(processes_,
                  [now](const auto& entry) { return now - entry.second.seen >= kIdleSeconds; });

    std::map<GroupKey, GroupCounters> out{{kOtherGroup, other_}};
    for (const auto& [group, series] : series_) {
        out[group] = series.totals;
    }
    return out;
}

void ProcessGroupCounters::admit(const GroupKey& group, const std::set<GroupKey>& busiest,
                                 double now) {
    if (series_.count(group)) {
        return;
    }
    if (series_.size() >= kMaxSeriesGroups) {
        auto oldest = series_.end();
        for (auto it = series_.begin(); it != series_.end(); ++it) {
            if (!busiest.count(it->first) &&
                (oldest == series_.end() || it->second.changed < oldest->second.changed)) {
                oldest = it;
            }
        }
        // Giving way at once would let two groups take turns every refresh.
        if (oldest == series_.end() || now - oldest->second.changed < kRestBeforeGivingWay) {
            return;
        }
        retire(oldest, now);
    }
    auto back = remembered_.extract(group);
    series_[group] = {back ? back.mapped().totals : GroupCounters{}, now};
}

void ProcessGroupCounters::retire(std::map<GroupKey, SeriesState>::iterator series, double now) {
    remembered_[series->first] = {series->second.totals, now};
    series_.erase(series);
    if (remembered_.size() > kRememberedGroups) {
        remembered_.erase(std::min_element(
            remembered_.begin(), remembered_.end(),
            [](const auto& a, const auto& b) { return a.second.changed < b.second.changed; }));
    }
}

} // namespace korvel::exporter
