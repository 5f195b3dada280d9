#pragma once

#include "companion/model/net_connection.h"
#include "companion/model/net_process.h"
#include "companion/model/reading_frame.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace korvel {

// The last CPU time seen for a process, and the reading it came from.
struct ProcessCPUSample {
    uint64_t totalNS = 0;
    double time = 0;
};

using ConnectionsByPID = std::unordered_map<int32_t, std::vector<NetConnection>>;

inline constexpr size_t kMaxClosedPerPID = 5;
inline constexpr double kClosedConnectionTTL = 60.0;

// Sockets of the reading as rows, grouped by pid in reading order.
ConnectionsByPID groupConnections(std::vector<HelperConnectionData> sockets);

// The name shown for a process: for an interpreter running a known script,
// its file's name and the script's ("python3 sink.py"); else its
// application's name, else its bundle's or file's name from the path, else
// the kernel's short name.
std::string displayNameFor(const HelperProcessData& process, const RunningApplication* application);

// Percent of one core since the previous sample; 0 without a usable one.
double cpuPercentSince(const ProcessCPUSample* previous, uint64_t cpuNS, double timestamp);

// Most sockets first, then most CPU; ties keep their order.
void sortProcesses(std::vector<NetProcess>& processes);

// The closed-socket lists after a merge: entries older than the TTL dropped,
// then every non-listening socket of the previous list that the new reading no
// longer has, newest first, at most kMaxClosedPerPID per pid.
RecentlyClosedByPID updateRecentlyClosed(const RecentlyClosedByPID& published,
                                         const std::vector<NetProcess>& previousProcesses,
                                         const std::vector<NetProcess>& newProcesses, double now);

// Gives each closed socket the final counters of the ended socket with its
// pid and cookie.
void addFinalBytes(RecentlyClosedByPID& closed, const std::vector<HelperConnectionData>& ended);

// Sockets in the established state over every process.
size_t establishedConnectionCount(const std::vector<NetProcess>& processes);

} // namespace korvel
