#pragma once

#include "companion/model/counters.h"
#include "companion/model/net_process.h"
#include "companion/model/reading_frame.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvel {

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
    // Past this many cookies the oldest are forgotten: a helper that reports
    // tens of thousands of new sockets a reading must not grow the engine
    // without end. A forgotten socket seen again counts as first seen.
    static constexpr size_t kMostRemembered = 200'000;

    std::optional<double> readingTime; // of the last reading
    std::unordered_map<std::string, Keyed> byKey;
    std::unordered_map<uint64_t, Remembered> byCookie;
    size_t mostRemembered = kMostRemembered;
};

// The TCP sockets that ended since the last reading, as the helper tells them.
struct EndedTcpSockets {
    // Final counters of sockets a reading listed, with the pid it listed them under.
    const std::vector<HelperConnectionData>* rows = nullptr;
    // Bytes of sockets that ended before any reading listed them.
    std::optional<ConnectionCounters> unattributed;
    // The processes of the last reading: who listed each ended socket.
    const std::vector<NetProcess>* listedBefore = nullptr;
};

// Bytes per second of TCP no listed process accounts for: sockets that ended
// unlisted, or whose process has exited since.
struct OtherTcpRate {
    double in = 0;
    double out = 0;
    // What the rates are made of, over the interval.
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    bool operator==(const OtherTcpRate&) const = default;
};

struct SocketUsage {
    std::optional<OtherTcpRate> other; // no value without an interval
    // Bytes no process of either reading accounts for (part of `other`).
    ConnectionCounters unowned;
    std::vector<EndedSocket> ended;
    // Processes of the last reading that are gone, with their ended sockets' bytes.
    std::vector<NetProcess> endedProcesses;
    size_t forgotten = 0; // cookies forgotten to keep within kMostRemembered
};

// Sets on every socket of the new reading with counters what it moved since
// the last reading (`used`, and rateIn/rateOut in bytes per second), and on
// each process the sum over its sockets (a socket listed twice in one
// process counts once), then remembers the reading.
//
// Two readings of a socket are paired by cookie when both have one (a port
// reused by a new connection has a new cookie), else by the key. A socket
// with a cookie that no earlier reading had moved all its bytes since the last
// reading, and they count in this one, unless there was no last reading or
// `firstSightingsCount` is false (the readings cover other processes than
// before, so a socket first seen may be old). Nothing is used when no time
// passed or a counter went down (behind the same key, a new socket).
//
// The bytes an ended socket moved after it was last seen count once per
// cookie, by the same rules, for the process that listed it: one still
// running, else one that has gone (endedProcesses); those of a pid neither
// reading had, and the unattributed bytes, are other TCP. A process that has
// gone is other TCP in the rate too: no row shows it any more.
SocketUsage applyConnectionRates(std::vector<NetProcess>& processes,
                                 ConnectionCounterMemory& memory, double timestamp,
                                 bool firstSightingsCount = true,
                                 const EndedTcpSockets& ended = {});

} // namespace korvel
