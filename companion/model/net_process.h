#pragma once

#include "companion/model/counters.h"
#include "companion/model/net_connection.h"
#include "shared/helper_response.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// A themed icon name or the path of an image file; the views resolve it.
using ProcessIcon = std::string;

// Names one process however often its pid is reused: the pid and when the
// process started (absolute seconds; 0 where the helper could not tell).
struct ProcessKey {
    int32_t pid = 0;
    double startTime = 0;
};

// The one rule for whether two keys name the same process: the same pid,
// started within a second (a start time is the boot time, read afresh each
// time, plus the kernel's ticks), or either start unknown.
inline constexpr double kStartTimeTolerance = 1.0;
inline bool sameProcess(const ProcessKey& a, const ProcessKey& b) {
    return a.pid == b.pid && (a.startTime == 0 || b.startTime == 0 ||
                              std::fabs(a.startTime - b.startTime) <= kStartTimeTolerance);
}

// One process row: the design lists it by pid, the engine tells processes
// apart by key().
struct NetProcess {
    int32_t id = 0;
    std::string name;
    std::string displayName;
    std::optional<std::string> execPath;
    std::optional<ProcessIcon> icon;
    double cpuPercent = 0;
    uint64_t memBytes = 0;
    uint64_t cpuNS = 0; // cumulative, as the helper read it
    std::vector<NetConnection> connections;
    // Who the process belongs to, as the helper tells it (absent when unknown).
    std::optional<uint32_t> uid{};
    std::optional<std::string> unit{};
    std::optional<std::string> appId{};
    std::optional<std::string> container{};
    std::optional<double> startTime{}; // absolute time; with id it names one process
    // What an interpreter runs, as the helper tells it.
    std::optional<std::string> script{};
    // Sum of the socket rates; absent while no socket has one.
    std::optional<double> rateIn{};
    std::optional<double> rateOut{};
    // What it used since the previous reading: CPU time, and the bytes of its
    // sockets, those first seen and those that ended included.
    uint64_t cpuUsedNS = 0;
    ConnectionCounters bytesUsed{};
    ConnectionCounters udpBytesUsed{}; // the part of bytesUsed over UDP (the kernel meter's)

    // Its GPU clients' busy time per engine class and their memory, and the
    // storage bytes it read and wrote: cumulative, absent where unknown.
    std::vector<HelperGpuEngineData> gpuEngines{};
    std::optional<uint64_t> gpuMemoryBytes{};
    std::optional<uint64_t> diskReadBytes{};
    std::optional<uint64_t> diskWriteBytes{};
    // The same over the interval, and as shares and rates: the GPU's busy
    // share summed over its engines, like CPU percent over cores.
    std::vector<HelperGpuEngineData> gpuUsed{};
    uint64_t diskReadUsed = 0;
    uint64_t diskWriteUsed = 0;
    std::optional<double> gpuPercent{};
    std::optional<double> diskReadRate{};
    std::optional<double> diskWriteRate{};
    // A container's process: its network namespace's interface bytes
    // (cumulative) and their rates, every protocol's.
    std::optional<uint64_t> namespaceBytesIn{};
    std::optional<uint64_t> namespaceBytesOut{};
    std::optional<double> namespaceRateIn{};
    std::optional<double> namespaceRateOut{};

    ProcessKey key() const { return {id, startTime.value_or(0)}; }
    // The key as text, for lists that name their rows by a string.
    std::string keyText() const {
        return std::to_string(id) + '@' + std::to_string(startTime.value_or(0));
    }

    // What the views compare: CPU within 0.05 points and the number of sockets,
    // not their content; display name, path and icon take no part.
    friend bool operator==(const NetProcess& a, const NetProcess& b) {
        return a.id == b.id && a.name == b.name && a.memBytes == b.memBytes &&
               std::fabs(a.cpuPercent - b.cpuPercent) < 0.05 &&
               a.connections.size() == b.connections.size();
    }
};

// What the desktop knows about a running program.
struct RunningApplication {
    std::string localizedName;
    std::optional<ProcessIcon> icon;
    std::optional<std::string> appId{};
};
using RunningApplicationsByPID = std::unordered_map<int32_t, RunningApplication>;

} // namespace korvel
