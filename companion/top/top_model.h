#pragma once

#include "companion/engine/connection_rates.h"
#include "companion/engine/process_merge.h"
#include "companion/model/interface_stat.h"
#include "companion/model/net_process.h"
#include "companion/model/network_path_summary.h"
#include "companion/model/system_stats.h"
#include "companion/model/traffic_session_stats.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {
class KorvelManager;
}

namespace korvel::top {

// In and out rate of one interface per merged reading, oldest first.
struct InterfaceHistory {
    std::vector<double> rateIn;
    std::vector<double> rateOut;
};
using InterfaceHistories = std::map<std::string, InterfaceHistory>;

// A moment read back from the history rather than taken live.
struct RecordedMoment {
    int64_t unixTime = 0;
    int64_t bucketSeconds = 0; // 0 for one reading
    int64_t seconds = 0;       // what the usage is over
    bool earlier = false;      // whether [ and ] have somewhere to go
    bool later = false;
    std::map<int32_t, size_t> sockets; // per pid: the history keeps counts, not sockets
};

// What the panels draw: a copy of the engine's model taken after each merge,
// with the few things the view adds (user names, per-interface histories).
struct TopModel {
    double time = 0; // absolute time of the copy
    int readings = 0;
    bool helperAvailable = false;
    SystemStats system;
    std::vector<double> cpuHistory;
    std::vector<InterfaceStat> interfaces; // the engine's display order
    InterfaceHistories interfaceHistories;
    NetworkPathSummary path;
    TrafficSessionStats session;
    std::optional<OtherTcpRate> otherTcp;
    std::vector<NetProcess> processes;
    RecentlyClosedByPID recentlyClosed;
    std::map<uint32_t, std::string> userNames;
    std::optional<RecordedMoment> recorded;
};

// The model after one more merge of `manager`. `previous` carries the
// histories and known user names forward.
TopModel makeTopModel(const KorvelManager& manager, const TopModel& previous, double now,
                      const std::function<std::string(uint32_t)>& userName);

} // namespace korvel::top
