#include "companion/engine/connection_rates.h"

#include <algorithm>

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

// What a socket moved from `before` to `now`; none when a counter fell.
std::optional<ConnectionCounters> movedSince(const std::optional<ConnectionCounters>& before,
                                             const ConnectionCounters& now) {
    if (!before || now.bytesIn < before->bytesIn || now.bytesOut < before->bytesOut) {
        return std::nullopt;
    }
    return ConnectionCounters{now.bytesIn - before->bytesIn, now.bytesOut - before->bytesOut};
}

bool isUdp(TransportProto proto) {
    return proto == TransportProto::udp || proto == TransportProto::udp6;
}

void addUse(NetProcess& process, const ConnectionCounters& used, bool udp) {
    process.bytesUsed += used;
    if (udp) {
        process.udpBytesUsed += used;
    }
}

void addRate(NetProcess& process, const ConnectionCounters& used, double elapsed, bool udp) {
    addUse(process, used, udp);
    process.rateIn = process.rateIn.value_or(0) + static_cast<double>(used.bytesIn) / elapsed;
    process.rateOut = process.rateOut.value_or(0) + static_cast<double>(used.bytesOut) / elapsed;
}

// Keeps the newest mostRemembered cookies; how many went.
size_t forgetOldest(Memory& memory) {
    if (memory.byCookie.size() <= memory.mostRemembered) {
        return 0;
    }
    std::vector<double> seen;
    seen.reserve(memory.byCookie.size());
    for (const auto& [cookie, remembered] : memory.byCookie) {
        seen.push_back(remembered.seenAt);
    }
    const size_t excess = memory.byCookie.size() - memory.mostRemembered;
    std::nth_element(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(excess - 1),
                     seen.end());
    const double newestForgotten = seen[excess - 1];
    size_t forgotten = 0;
    for (auto it = memory.byCookie.begin(); it != memory.byCookie.end() && forgotten < excess;) {
        if (it->second.seenAt <= newestForgotten) {
            it = memory.byCookie.erase(it);
            ++forgotten;
        } else {
            ++it;
        }
    }
    return forgotten;
}

// Pairs every socket of the reading with the memory as it was before it, then
// remembers the reading's sockets.
void countListedSockets(std::vector<NetProcess>& processes, Memory& memory, double timestamp,
                        double elapsed, bool firstSightingsKnown) {
    std::unordered_map<std::string, Memory::Keyed> current;
    // The cookies of this reading, noted once every socket has been paired.
    std::vector<std::pair<uint64_t, ConnectionCounters>> seen;
    for (NetProcess& process : processes) {
        process.rateIn.reset();
        process.rateOut.reset();
        process.bytesUsed = {};
        for (NetConnection& connection : process.connections) {
            connection.rateIn.reset();
            connection.rateOut.reset();
            connection.used = {};
            if (!connection.bytesIn || !connection.bytesOut) {
                continue;
            }
            const ConnectionCounters now{*connection.bytesIn, *connection.bytesOut};
            auto [slot, first] =
                current.try_emplace(socketAddressKey(connection), now, connection.cookie);
            if (connection.cookie) {
                seen.emplace_back(*connection.cookie, now);
            }
            const auto used = movedSince(
                earlierCounters(connection, slot->first, memory, firstSightingsKnown), now);
            if (!used || elapsed <= 0) {
                continue;
            }
            connection.used = *used;
            connection.rateIn = static_cast<double>(used->bytesIn) / elapsed;
            connection.rateOut = static_cast<double>(used->bytesOut) / elapsed;
            if (first) {
                addRate(process, *used, elapsed, isUdp(connection.proto));
            }
        }
    }
    memory.byKey = std::move(current);
    for (const auto& [cookie, counters] : seen) {
        memory.byCookie[cookie] = {counters, timestamp};
    }
}

// Who an ended socket's last bytes belong to: the process that listed it,
// whether it runs on under its pid or has gone (a pid reused since is
// another program), else nobody known.
class EndedSocketOwners {
public:
    EndedSocketOwners(std::vector<NetProcess>& processes, const std::vector<NetProcess>* listed,
                      SocketUsage& usage)
        : usage_(usage) {
        for (NetProcess& process : processes) {
            running_.try_emplace(process.id, &process);
        }
        if (listed != nullptr) {
            for (const NetProcess& process : *listed) {
                listed_.try_emplace(process.id, &process);
            }
        }
    }

    // Adds `used` to its owner, or to the bytes nobody owns; the owner's key.
    ProcessKey add(int32_t pid, const ConnectionCounters& used, double elapsed, bool udp) {
        const auto listed = listed_.find(pid);
        const auto running = running_.find(pid);
        if (running != running_.end() &&
            (listed == listed_.end() ||
             sameProcess(listed->second->key(), running->second->key()))) {
            addRate(*running->second, used, elapsed, udp);
            return running->second->key();
        }
        if (listed == listed_.end()) {
            usage_.unowned += used;
            return {pid, 0};
        }
        auto [slot, added] = gone_.try_emplace(pid, usage_.endedProcesses.size());
        if (added) {
            NetProcess copy = *listed->second;
            copy.connections.clear();
            copy.cpuUsedNS = 0;
            copy.bytesUsed = {};
            copy.udpBytesUsed = {};
            usage_.endedProcesses.push_back(std::move(copy));
        }
        NetProcess& owner = usage_.endedProcesses[slot->second];
        addUse(owner, used, udp);
        // No row shows a process that has gone: the live views count its
        // last bytes as other TCP.
        usage_.other->bytesIn = saturatingAdd(usage_.other->bytesIn, used.bytesIn);
        usage_.other->bytesOut = saturatingAdd(usage_.other->bytesOut, used.bytesOut);
        return owner.key();
    }

private:
    SocketUsage& usage_;
    std::unordered_map<int32_t, NetProcess*> running_;
    std::unordered_map<int32_t, const NetProcess*> listed_;
    std::unordered_map<int32_t, size_t> gone_; // pid → index in endedProcesses
};

// The bytes each ended socket moved after it was last counted, once per cookie.
void countEndedSockets(std::vector<NetProcess>& processes, Memory& memory,
                       const EndedTcpSockets& ended, double timestamp, double elapsed,
                       bool firstSightingsKnown, SocketUsage& usage) {
    if (ended.rows == nullptr || ended.rows->empty()) {
        return;
    }
    EndedSocketOwners owners(processes, ended.listedBefore, usage);
    for (const HelperConnectionData& row : *ended.rows) {
        if (!row.cookie || !row.bytesIn || !row.bytesOut) {
            continue;
        }
        const ConnectionCounters last{*row.bytesIn, *row.bytesOut};
        auto [remembered, first] = memory.byCookie.try_emplace(*row.cookie);
        std::optional<ConnectionCounters> before;
        if (!first) {
            before = remembered->second.counters;
        } else if (firstSightingsKnown) {
            before = ConnectionCounters{};
        }
        // Noted even when nothing counts, so that a report again adds nothing.
        remembered->second = {last, timestamp};
        const auto used = movedSince(before, last);
        if (!used || !usage.other) {
            continue;
        }
        NetConnection socket = makeNetConnection(row);
        socket.used = *used;
        const bool udp = isUdp(socket.proto);
        usage.ended.push_back({owners.add(row.pid, *used, elapsed, udp), std::move(socket)});
    }
}

} // namespace

SocketUsage applyConnectionRates(std::vector<NetProcess>& processes, Memory& memory,
                                 double timestamp, bool firstSightingsCount,
                                 const EndedTcpSockets& ended) {
    const double elapsed = memory.readingTime ? timestamp - *memory.readingTime : 0;
    const bool firstSightingsKnown = firstSightingsCount && memory.readingTime;
    countListedSockets(processes, memory, timestamp, elapsed, firstSightingsKnown);
    SocketUsage usage;
    if (elapsed > 0) {
        usage.other.emplace();
        usage.unowned = ended.unattributed.value_or(ConnectionCounters{});
    }
    countEndedSockets(processes, memory, ended, timestamp, elapsed, firstSightingsKnown, usage);
    if (usage.other) {
        usage.other->bytesIn = saturatingAdd(usage.other->bytesIn, usage.unowned.bytesIn);
        usage.other->bytesOut = saturatingAdd(usage.other->bytesOut, usage.unowned.bytesOut);
        usage.other->in = static_cast<double>(usage.other->bytesIn) / elapsed;
        usage.other->out = static_cast<double>(usage.other->bytesOut) / elapsed;
    }
    std::erase_if(memory.byCookie, [timestamp](const auto& entry) {
        return timestamp - entry.second.seenAt > Memory::kRememberUnseenSeconds;
    });
    usage.forgotten = forgetOldest(memory);
    memory.readingTime = timestamp;
    return usage;
}

} // namespace korvel
