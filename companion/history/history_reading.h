#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel {
class KorvelManager;
}

namespace korvel::history {

// What the recorder keeps of one merged reading: a copy taken on the main
// thread, written on the recorder's own. Counters are cumulative, as read.
struct SocketSample {
    std::string protocol; // TCP, TCP6, UDP, UDP6
    std::string localAddress;
    uint16_t localPort = 0;
    std::string remoteAddress;
    uint16_t remotePort = 0;
    std::optional<uint64_t> bytesIn; // TCP only, where the kernel counts
    std::optional<uint64_t> bytesOut;
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
    uint64_t cpuNS = 0;
    uint64_t rssBytes = 0;
    std::vector<SocketSample> sockets;
};

struct InterfaceSample {
    std::string name;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
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

// A TCP socket that ended since the reading before, with its final counters.
struct EndedSocket {
    int32_t pid = 0;
    SocketSample socket;
};

struct HistoryReading {
    int64_t time = 0; // Unix seconds
    std::vector<ProcessSample> processes;
    std::vector<InterfaceSample> interfaces;
    SystemSample system;
    std::vector<EndedSocket> endedSockets;
};

// The manager's published model at absolute time now.
HistoryReading readingFromModel(const KorvelManager& manager, double now);
// Only the sockets the last merge heard end, added to `ended`.
void addEndedSockets(const KorvelManager& manager, std::vector<EndedSocket>& ended);

// Unix seconds from an absolute time (seconds since 2001).
double unixTime(double absoluteTime);

} // namespace korvel::history
