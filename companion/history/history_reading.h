#pragma once

#include "companion/model/counters.h"
#include "companion/model/reading_frame.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace korvel::history {

// What the history writes of one merged reading: the figures of that moment,
// and what was used since the last reading written. Built on the recorder's
// thread from the engine's frame; the history keeps no pairing of its own.
struct SocketSample {
    std::string protocol; // TCP, TCP6, UDP, UDP6
    std::string localAddress;
    uint16_t localPort = 0;
    std::string remoteAddress;
    uint16_t remotePort = 0;
    std::optional<std::string> hostName = {}; // the remote's, when already known

    bool isUdp() const { return protocol.starts_with("UDP"); }
    // Listening and unconnected sockets have no one on the other side.
    bool hasRemote() const;
};

struct ProcessSample {
    int32_t pid = 0;
    std::optional<double> startTime; // Unix seconds
    std::string name;
    std::optional<std::string> executable;
    std::optional<uint32_t> uid;
    std::optional<std::string> unit;
    std::optional<std::string> appId;
    std::optional<std::string> container;
    uint64_t cpuUsedNS = 0;       // since the last reading written
    ConnectionCounters bytesUsed; // the same, its sockets' (ended ones included)
    uint64_t rssBytes = 0;
    std::vector<SocketSample> sockets; // open at this reading
    bool running = true;               // false for one that ended since: only its use is written
    uint64_t gpuUsedNS = 0;            // since the last reading written, all GPU engines summed
    uint64_t diskReadUsed = 0;
    uint64_t diskWriteUsed = 0;
    std::optional<std::string> script =
        std::nullopt; // what an interpreter ran: tells its runs apart
};

// What one of a process's endpoints moved since the last reading written.
struct EndpointUse {
    size_t process = 0; // index into the reading's processes
    std::string protocol;
    std::string remoteAddress;
    uint16_t remotePort = 0;
    ConnectionCounters used;
};

struct InterfaceSample {
    std::string name;
    ConnectionCounters used;
};

// What a network moved since the last reading written (its interfaces'
// counters, every protocol), and the part of it each process moved.
struct NetworkSample {
    NetworkAttachment network;
    ConnectionCounters used;
    std::vector<std::pair<size_t, ConnectionCounters>> processes; // index into the reading's
};

struct SystemSample {
    double cpuPercent = 0;
    double load1m = 0;
    uint64_t memoryTotal = 0;
    uint64_t memoryUsed = 0;
    uint64_t memoryFree = 0;
    int memoryPressure = 0; // 0 normal, 1 warning, 2 critical
    std::optional<double> gpuPercent;
    std::optional<double> cpuTemperature;
    std::optional<double> gpuTemperature;
};

struct HistoryReading {
    int64_t time = 0; // Unix seconds
    std::vector<ProcessSample> processes;
    std::vector<EndpointUse> endpoints;
    ConnectionCounters otherTcp; // TCP no process accounts for
    std::vector<InterfaceSample> interfaces;
    std::vector<NetworkSample> networks;
    SystemSample system;
};

// What the frames since the last reading written used, added up as the
// engine merges them, so that a frame the recorder leaves out (the user's
// period is longer than the window's, or the writer is behind) loses nothing.
// Cheap to add to on the main loop: only what was used is kept.
class FrameUse {
public:
    void add(const ReadingFrame& frame);
    // The reading of `last` (the last frame added) with everything added up.
    // Host names come from `names` (remote address to name).
    HistoryReading reading(const ReadingFrame& last,
                           const std::unordered_map<std::string, std::string>& names) const;

private:
    struct Process {
        NetProcess identity; // without its sockets
        uint64_t cpuNS = 0;
        ConnectionCounters bytes;
        uint64_t gpuNS = 0;
        uint64_t diskRead = 0;
        uint64_t diskWrite = 0;
    };
    using EndpointKey = std::tuple<size_t, TransportProto, std::string, uint16_t>;
    struct Network {
        NetworkAttachment identity; // as last seen
        ConnectionCounters bytes;
        std::map<size_t, ConnectionCounters> processes; // by index into processes_
    };

    size_t processFor(const NetProcess& process);
    void addNetworkUse(const ReadingFrame& frame);
    static void addUse(ProcessSample& sample, const Process& use);
    void addEndpoint(size_t process, const NetConnection& socket);

    std::vector<Process> processes_;
    std::unordered_map<int32_t, std::vector<size_t>> byPid_;
    std::map<EndpointKey, ConnectionCounters> endpoints_;
    ConnectionCounters otherTcp_;
    std::map<std::string, ConnectionCounters> interfaces_;
    std::map<std::string, Network> networks_; // by key
};

} // namespace korvel::history
