#pragma once

#include "platform/system/net_counters.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The one reply document of the helper, also the body of the published snapshot.
// Both programs use these definitions; member names are the JSON keys.

// The busy time of one class of a GPU's engines for one process.
struct HelperGpuEngineData {
    std::string engine; // the driver's class name: gfx, render, video, copy…
    uint64_t ns = 0;    // cumulative, over the process's GPU clients

    bool operator==(const HelperGpuEngineData&) const = default;
};

struct HelperProcessData {
    int32_t pid = 0;
    std::string name;
    std::optional<std::string> execPath;
    uint64_t cpuNS = 0;
    uint64_t memBytes = 0;
    // Who the process belongs to, where the helper could tell (Linux only;
    // readers that do not know these members ignore them).
    std::optional<uint32_t> uid{};
    std::optional<std::string> unit{};
    std::optional<std::string> appId{};
    std::optional<std::string> container{};
    // When the process started (absolute time); with the pid it names one
    // process, however often pids are reused.
    std::optional<double> startTime{};
    // Its GPU clients, each counted once however many descriptors or
    // processes share it, and their memory; its storage bytes read and
    // written (cumulative; absent when unreadable, as for another user's
    // process).
    std::vector<HelperGpuEngineData> gpuEngines{};
    std::optional<uint64_t> gpuMemoryBytes{};
    std::optional<uint64_t> diskReadBytes{};
    std::optional<uint64_t> diskWriteBytes{};
    // What an interpreter runs: its script's file name, module or main class.
    std::optional<std::string> script{};
    // For a process in another network namespace than the helper's (a
    // container's): that namespace's interface bytes, loopback left out.
    std::optional<uint64_t> namespaceBytesIn{};
    std::optional<uint64_t> namespaceBytesOut{};

    bool operator==(const HelperProcessData&) const = default;
};

struct HelperConnectionData {
    int32_t pid = 0;
    std::string proto;
    std::string localAddr;
    uint16_t localPort = 0;
    std::string remoteAddr;
    uint16_t remotePort = 0;
    int32_t tcpStateRaw = -1;
    // Cumulative TCP payload bytes received and acknowledged by the peer, from
    // the kernel's tcp_info; absent for UDP and when the kernel gives none.
    std::optional<uint64_t> bytesIn{};
    std::optional<uint64_t> bytesOut{};
    // The kernel's cookie of a socket: names it for as long as the machine
    // runs, where addresses and ports may be reused by the next connection. A
    // JSON integer of all 64 bits (the decoder reads them exactly).
    std::optional<uint64_t> cookie{};
    // "meter" when the byte counters come from the kernel meter (payload
    // bytes, any protocol); absent when they are TCP's own or there are none.
    std::optional<std::string> source{};

    bool operator==(const HelperConnectionData&) const = default;
};

struct HelperInterfaceData {
    std::string id;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;

    bool operator==(const HelperInterfaceData&) const = default;
};

struct HelperResponse {
    std::vector<HelperProcessData> processes;
    std::vector<HelperConnectionData> connections;
    std::vector<HelperInterfaceData> interfaces;
    double timestamp = 0;
    uint64_t totalRam = 0;
    uint64_t usedRam = 0;
    uint64_t freeRam = 0;
    int32_t memPressureLevel = 100;
    std::optional<int64_t> gpuCoreCount;
    std::optional<double> gpuUsagePercent;
    std::optional<double> cpuTemperatureCelsius;
    std::optional<double> gpuTemperatureCelsius;
    // TCP sockets that ended since this client's last reading, with their
    // final counters, under the pid a reading listed them with; and the bytes
    // of those that ended before any reading listed them (Linux only; readers
    // that do not know these members ignore them).
    std::vector<HelperConnectionData> endedConnections{};
    std::optional<uint64_t> unattributedTcpBytesIn{};
    std::optional<uint64_t> unattributedTcpBytesOut{};
    // The helper's document this reading was decoded from, as received: the
    // snapshot is written from it rather than encoded again. Not a member of
    // the document and no part of equality; whoever changes a decoded reading
    // drops it.
    struct SourceDocument {
        std::shared_ptr<const std::string> text;
        bool operator==(const SourceDocument&) const { return true; }
    } source{};

    bool operator==(const HelperResponse&) const = default;
};

// The reply's rows for the machine's interfaces: names made valid UTF-8, as
// JSON needs.
std::vector<HelperInterfaceData> interfaceRows(const std::vector<platform::LinkCounters>& links);

// Compact UTF-8 JSON. No value when a double is not finite: such a document
// cannot be encoded, and the caller answers nil instead.
std::optional<std::string> encodeHelperResponse(const HelperResponse& response);

// Strict reader: every required member present, of its JSON type and within
// its width; optional members absent or null; unknown members ignored; the
// additive members are taken when well typed and otherwise ignored, never
// failing the document (which is which: helper_response_fields.h).
std::optional<HelperResponse> decodeHelperResponse(std::string_view json);

} // namespace korvel
