#include "companion/engine/connection_rates.h"

namespace korvel {
namespace {

using Memory = ConnectionCounterMemory;

// The counters of the same socket in an earlier reading, {0, 0} for a socket
// first seen whose bytes count, or no value.
std::optional<ConnectionCounters> earlierCounters(const NetConnection& connection,
                                                  const std::string& key, const Memory& memory,
                                                  bool firstSightingsKnown) {
    if (connection.cookie) {
        if (const auto seen = memory.byCookie.find(*connection.cookie);
            seen != memory.byCookie.end()) {
            return seen->second.counters;
        }
    }
    if (const auto before = memory.byKey.find(key); before != memory.byKey.end()) {
        // Only where a cookie is missing on either side does the key decide.
        if (!connection.cookie || !before->second.cookie) {
            return before->second.counters;
        }
    }
    if (connection.cookie && firstSightingsKnown) {
        return ConnectionCounters{};
    }
    return std::nullopt;
}

} // namespace

std::string connectionCounterKey(const NetConnection& connection) {
    std::string key = std::to_string(connection.pid);
    key += ' ';
    key += rawValue(connection.proto);
    key += ' ';
    key += connection.localAddr;
    key += ' ';
    key += std::to_string(connection.localPort);
    key += ' ';
    key += connection.remoteAddr;
    key += ' ';
    key += std::to_string(connection.remotePort);
    return key;
}

std::optional<OtherTcpRate> applyConnectionRates(std::vector<NetProcess>& processes, Memory& memory,
                                                 double timestamp, bool firstSightingsCount,
                                                 const EndedTcpSockets& ended) {
    const double elapsed = memory.readingTime ? timestamp - *memory.readingTime : 0;
    const bool firstSightingsKnown = firstSightingsCount && memory.readingTime;
    std::unordered_map<std::string, Memory::Keyed> current;
    // The cookies of this reading, noted once every socket has been paired
    // against the memory as it was before it.
    std::vector<std::pair<uint64_t, ConnectionCounters>> seen;
    for (NetProcess& process : processes) {
        process.rateIn.reset();
        process.rateOut.reset();
        for (NetConnection& connection : process.connections) {
            connection.rateIn.reset();
            connection.rateOut.reset();
            if (!connection.bytesIn || !connection.bytesOut) {
                continue;
            }
            const ConnectionCounters now{*connection.bytesIn, *connection.bytesOut};
            auto [slot, first] =
                current.try_emplace(connectionCounterKey(connection), now, connection.cookie);
            if (connection.cookie) {
                seen.emplace_back(*connection.cookie, now);
            }
            const auto before =
                earlierCounters(connection, slot->first, memory, firstSightingsKnown);
            if (!before || elapsed <= 0 || now.bytesIn < before->bytesIn ||
                now.bytesOut < before->bytesOut) {
                continue;
            }
            connection.rateIn = static_cast<double>(now.bytesIn - before->bytesIn) / elapsed;
            connection.rateOut = static_cast<double>(now.bytesOut - before->bytesOut) / elapsed;
            if (first) {
                process.rateIn = process.rateIn.value_or(0) + *connection.rateIn;
                process.rateOut = process.rateOut.value_or(0) + *connection.rateOut;
            }
        }
    }
    memory.byKey = std::move(current);
    for (const auto& [cookie, counters] : seen) {
        memory.byCookie[cookie] = {counters, timestamp};
    }
    std::optional<OtherTcpRate> other;
    if (elapsed > 0) {
        other.emplace();
        if (ended.unattributed) {
            other->bytesIn = ended.unattributed->bytesIn;
            other->bytesOut = ended.unattributed->bytesOut;
        }
    }
    if (ended.rows != nullptr && !ended.rows->empty()) {
        std::unordered_map<int32_t, NetProcess*> byPid;
        for (NetProcess& process : processes) {
            byPid.try_emplace(process.id, &process);
        }
        for (const HelperConnectionData& row : *ended.rows) {
            if (!row.cookie || !row.bytesIn || !row.bytesOut) {
                continue;
            }
            const ConnectionCounters last{*row.bytesIn, *row.bytesOut};
            auto [seen, first] = memory.byCookie.try_emplace(*row.cookie);
            std::optional<ConnectionCounters> before;
            if (!first) {
                before = seen->second.counters;
            } else if (firstSightingsKnown) {
                before = ConnectionCounters{};
            }
            // Noted even when nothing counts, so that a report again adds nothing.
            seen->second = {last, timestamp};
            if (!before || !other || last.bytesIn < before->bytesIn ||
                last.bytesOut < before->bytesOut) {
                continue;
            }
            const uint64_t in = last.bytesIn - before->bytesIn;
            const uint64_t out = last.bytesOut - before->bytesOut;
            if (const auto owner = byPid.find(row.pid); owner != byPid.end()) {
                owner->second->rateIn =
                    owner->second->rateIn.value_or(0) + static_cast<double>(in) / elapsed;
                owner->second->rateOut =
                    owner->second->rateOut.value_or(0) + static_cast<double>(out) / elapsed;
            } else {
                other->bytesIn += in;
                other->bytesOut += out;
            }
        }
    }
    if (other) {
        other->in = static_cast<double>(other->bytesIn) / elapsed;
        other->out = static_cast<double>(other->bytesOut) / elapsed;
    }
    std::erase_if(memory.byCookie, [timestamp](const auto& entry) {
        return timestamp - entry.second.seenAt > Memory::kRememberUnseenSeconds;
    });
    memory.readingTime = timestamp;
    return other;
}

} // namespace korvel
