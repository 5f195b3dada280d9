#pragma once

#include "companion/model/net_process.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

// The byte counters of one socket as a reading saw them.
struct ConnectionCounters {
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
};

// What the engine keeps of the sockets between readings.
struct ConnectionCounterMemory {
    // A socket of the last reading, named by pid, protocol, both addresses and
    // both ports, with its cookie where the helper sent one.
    struct Keyed {
        ConnectionCounters counters;
        std::optional<uint64_t> cookie;
    };
    // Sockets by cookie, kept a while after they were last seen: one that
    // shows again is paired with its last counters, never counted twice.
    struct Remembered {
        ConnectionCounters counters;
        double seenAt = 0;
    };
    static constexpr double kRememberUnseenSeconds = 120;

    std::optional<double> readingTime; // of the last reading
    std::unordered_map<std::string, Keyed> byKey;
    std::unordered_map<uint64_t, Remembered> byCookie;
};

// The TCP sockets that ended since the last reading, as the helper tells them.
struct EndedTcpSockets {
    // Final counters of sockets a reading listed, with the pid it listed them under.
    const std::vector<HelperConnectionData>* rows = nullptr;
    // Bytes of sockets that ended before any reading listed them.
    std::optional<ConnectionCounters> unattributed;
};

// Bytes per second of TCP no process of the reading accounts for: sockets
// that ended unlisted, or whose process has exited.
struct OtherTcpRate {
    double in = 0;
    double out = 0;
    // What the rates are made of, over the interval.
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    bool operator==(const OtherTcpRate&) const = default;
};

std::string connectionCounterKey(const NetConnection& connection);

// Sets rateIn/rateOut (bytes per second) on every socket of the new reading
// with counters, and on each process the sum over its sockets (a socket listed
// twice in one process counts once), then remembers the reading.
//
// Two readings of a socket are paired by cookie when both have one (a port
// reused by a new connection has a new cookie), else by the key. A socket
// with a cookie that no earlier reading had moved all its bytes since the last
// reading, and they count in this one, unless there was no last reading or
// `firstSightingsCount` is false (the readings cover other processes than
// before, so a socket first seen may be old). No rate when no time passed or
// a counter went down (behind the same key, a new socket).
//
// The bytes an ended socket moved after it was last seen count in its
// process's rate, once per cookie, by the same rules; those of a process no
// longer listed, and the unattributed bytes, make the returned rate (no value
// without an interval).
std::optional<OtherTcpRate> applyConnectionRates(std::vector<NetProcess>& processes,
                                                 ConnectionCounterMemory& memory, double timestamp,
                                                 bool firstSightingsCount = true,
                                                 const EndedTcpSockets& ended = {});

} // namespace korvel
