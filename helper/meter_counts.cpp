#include "helper/meter_counts.h"

#include "helper/socket_table.h"

#include <string>
#include <string_view>
#include <unordered_set>

namespace korvel {
namespace {

// How long a told cookie is remembered: longer than the meter tells it.
constexpr double kRememberSeconds = 300;

bool isTcp(const MeterSocket& s) {
    return s.proto == "TCP" || s.proto == "TCP6";
}

void takeCounts(HelperConnectionData& row, const MeterSocket& s) {
    row.bytesIn = s.bytesIn;
    row.bytesOut = s.bytesOut;
    row.cookie = s.cookie;
    row.source = kMeterSource;
}

HelperConnectionData rowOf(const MeterSocket& s) {
    HelperConnectionData row;
    row.pid = s.pid;
    row.proto = s.proto;
    row.localAddr = s.localAddr;
    row.localPort = s.localPort;
    row.remoteAddr = s.remoteAddr;
    row.remotePort = s.remotePort;
    takeCounts(row, s);
    return row;
}

// A row or a meter's socket by its protocol and both ends.
template <typename Socket> std::string addressKey(const Socket& s) {
    std::string key(s.proto);
    key.append(" ").append(s.localAddr).append(" ").append(std::to_string(s.localPort));
    key.append(" ").append(s.remoteAddr).append(" ").append(std::to_string(s.remotePort));
    return key;
}

} // namespace

bool MeterEndedMemory::firstTelling(uint64_t cookie, double now) {
    if (told_.size() > 4096) {
        std::erase_if(told_,
                      [&](const auto& entry) { return now - entry.second > kRememberSeconds; });
    }
    return told_.try_emplace(cookie, now).second;
}

std::vector<HelperConnectionData>
addMeterCounts(HelperResponse& response, const MeterReply& meter, MeterEndedMemory& told,
               double now, const std::function<bool(int32_t pid)>& inOurNetworkNamespace) {
    std::unordered_map<uint64_t, std::vector<size_t>> rowsByCookie;
    // Rows from another namespace's text tables have no cookie: their
    // addresses find them.
    std::unordered_map<std::string, std::vector<size_t>> rowsByAddresses;
    for (size_t i = 0; i < response.connections.size(); ++i) {
        const HelperConnectionData& row = response.connections[i];
        if (row.cookie) {
            rowsByCookie[*row.cookie].push_back(i);
        } else {
            rowsByAddresses[addressKey(row)].push_back(i);
        }
    }
    std::unordered_set<int32_t> listed;
    for (const HelperProcessData& process : response.processes) {
        listed.insert(process.pid);
    }
    // Whether the reading's dump could have seen this socket.
    const auto ours = [&](const MeterSocket& s) {
        return s.pid == 0 || inOurNetworkNamespace(s.pid);
    };
    std::vector<HelperConnectionData> owners;
    const bool started = told.started();
    for (const MeterSocket& s : meter.sockets) {
        const bool tcp = isTcp(s);
        if (tcp && bothEndsLoopback(s.localAddr, s.remoteAddr)) {
            continue;
        }
        if (s.ended) {
            if (!told.firstTelling(s.cookie, now) || !started) {
                continue;
            }
            if (tcp && ours(s)) {
                // The kernel's destroy message counts it, with TCP's own figures.
                if (s.pid != 0) {
                    owners.push_back(rowOf(s));
                }
            } else {
                response.endedConnections.push_back(rowOf(s));
            }
            continue;
        }
        if (const auto rows = rowsByCookie.find(s.cookie); rows != rowsByCookie.end()) {
            if (!tcp) {
                for (const size_t i : rows->second) {
                    takeCounts(response.connections[i], s);
                }
            }
            continue;
        }
        if (const auto rows = rowsByAddresses.find(addressKey(s)); rows != rowsByAddresses.end()) {
            for (const size_t i : rows->second) {
                takeCounts(response.connections[i], s);
            }
            rowsByAddresses.erase(rows); // one socket per address pair
            continue;
        }
        if (!listed.contains(s.pid)) {
            continue;
        }
        if (tcp && ours(s)) {
            owners.push_back(rowOf(s)); // listed by a later reading, or ending first
            continue;
        }
        response.connections.push_back(rowOf(s));
    }
    told.startedReading();
    return owners;
}

} // namespace korvel
