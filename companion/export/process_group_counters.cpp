#include "companion/export/process_group_counters.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace korvel::exporter {
namespace {

void add(GroupCounters& into, const GroupCounters& grown) {
    into.cpuNS = saturatingAdd(into.cpuNS, grown.cpuNS);
    into.tcpBytesIn = saturatingAdd(into.tcpBytesIn, grown.tcpBytesIn);
    into.tcpBytesOut = saturatingAdd(into.tcpBytesOut, grown.tcpBytesOut);
    into.udpBytesIn = saturatingAdd(into.udpBytesIn, grown.udpBytesIn);
    into.udpBytesOut = saturatingAdd(into.udpBytesOut, grown.udpBytesOut);
    for (const auto& [engine, ns] : grown.gpuNS) {
        into.gpuNS[engine] = saturatingAdd(into.gpuNS[engine], ns);
    }
    into.diskReadBytes = saturatingAdd(into.diskReadBytes, grown.diskReadBytes);
    into.diskWriteBytes = saturatingAdd(into.diskWriteBytes, grown.diskWriteBytes);
}

GroupCounters usedBy(const NetProcess& process) {
    const ConnectionCounters& udp = process.udpBytesUsed;
    GroupCounters used;
    used.cpuNS = process.cpuUsedNS;
    used.tcpBytesIn = process.bytesUsed.bytesIn - std::min(process.bytesUsed.bytesIn, udp.bytesIn);
    used.tcpBytesOut =
        process.bytesUsed.bytesOut - std::min(process.bytesUsed.bytesOut, udp.bytesOut);
    used.udpBytesIn = udp.bytesIn;
    used.udpBytesOut = udp.bytesOut;
    used.diskReadBytes = process.diskReadUsed;
    used.diskWriteBytes = process.diskWriteUsed;
    for (const auto& engine : process.gpuUsed) {
        used.gpuNS[engine.engine] = engine.ns;
    }
    return used;
}

} // namespace

std::map<GroupKey, GroupCounters> ProcessGroupCounters::fold(const ReadingFrame& frame,
                                                             const GroupOf& groupOf, double now) {
    std::map<GroupKey, GroupCounters> increases;
    for (const auto* list : {&frame.processes, &frame.endedProcesses}) {
        for (const NetProcess& process : *list) {
            add(increases[groupOf(process)], usedBy(process));
        }
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
