#include "companion/engine/process_merge.h"

#include "shared/path_component.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <unordered_set>

namespace korvel {
namespace {

// Comparisons a plain search may cost before a hash set pays off.
constexpr size_t kLinearLookupLimit = 4096;

// Hashes what NetConnection equality compares, so a process with thousands of
// sockets is matched in linear time.
struct ConnectionHash {
    size_t operator()(const NetConnection& c) const noexcept {
        size_t h = std::hash<std::string>{}(c.localAddr);
        const auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
        mix(std::hash<std::string>{}(c.remoteAddr));
        mix(static_cast<size_t>(c.localPort) << 16 | c.remotePort);
        mix(static_cast<size_t>(c.state) << 8 | static_cast<size_t>(c.proto));
        mix(static_cast<size_t>(c.pid));
        return h;
    }
};

// The name of the process's file, else the kernel's short name.
std::string fileNameOf(const HelperProcessData& process) {
    return process.execPath ? std::string(lastPathComponent(*process.execPath)) : process.name;
}

} // namespace

ConnectionsByPID groupConnections(std::vector<HelperConnectionData> sockets) {
    ConnectionsByPID groups;
    groups.reserve(sockets.size() / 8 + 1);
    // The helper lists each process's sockets together: one lookup and one
    // allocation per run.
    for (auto run = sockets.begin(); run != sockets.end();) {
        const int32_t pid = run->pid;
        const auto end =
            std::find_if(run, sockets.end(), [pid](const auto& s) { return s.pid != pid; });
        auto& group = groups[pid];
        if (group.empty()) { // a pid met again grows as vectors do
            group.reserve(static_cast<size_t>(end - run));
        }
        for (; run != end; ++run) {
            group.push_back(makeNetConnection(std::move(*run)));
        }
    }
    return groups;
}

std::string displayNameFor(const HelperProcessData& process,
                           const RunningApplication* application) {
    // The desktop entry matched by an interpreter's file names the
    // interpreter, the same for every script it runs.
    if (process.script) {
        return fileNameOf(process) + ' ' + *process.script;
    }
    if (application != nullptr && !application->localizedName.empty()) {
        return application->localizedName;
    }
    return fileNameOf(process);
}

double cpuPercentSince(const ProcessCPUSample* previous, uint64_t cpuNS, double timestamp) {
    if (previous == nullptr) {
        return 0;
    }
    const double elapsed = timestamp - previous->time;
    if (!(elapsed > 0) || cpuNS < previous->totalNS) {
        return 0;
    }
    return static_cast<double>(cpuNS - previous->totalNS) / 1e9 / elapsed * 100.0;
}

void sortProcesses(std::vector<NetProcess>& processes) {
    std::stable_sort(processes.begin(), processes.end(),
                     [](const NetProcess& a, const NetProcess& b) {
                         if (a.connections.size() != b.connections.size()) {
                             return a.connections.size() > b.connections.size();
                         }
                         return a.cpuPercent > b.cpuPercent;
                     });
}

RecentlyClosedByPID updateRecentlyClosed(const RecentlyClosedByPID& published,
                                         const std::vector<NetProcess>& previousProcesses,
                                         const std::vector<NetProcess>& newProcesses, double now) {
    RecentlyClosedByPID closed;
    for (const auto& [pid, entries] : published) {
        std::vector<ClosedConnection> kept;
        std::ranges::copy_if(entries, std::back_inserter(kept),
                             [now](const ClosedConnection& entry) {
                                 return now - entry.closedAt < kClosedConnectionTTL;
                             });
        if (!kept.empty()) {
            closed.emplace(pid, std::move(kept));
        }
    }

    std::unordered_map<int32_t, const std::vector<NetConnection>*> groups;
    groups.reserve(newProcesses.size());
    for (const auto& process : newProcesses) {
        groups.emplace(process.id, &process.connections); // a repeated pid has the same sockets
    }
    static const std::vector<NetConnection> kNone;
    for (const auto& process : previousProcesses) {
        const auto group = groups.find(process.id);
        const auto& open = group == groups.end() ? kNone : *group->second;
        // Sockets keep their order from one reading to the next: those in the
        // common head and tail are open still, and only the few between them
        // are looked up, in a set when there are many.
        const auto& old = process.connections;
        const size_t head = static_cast<size_t>(
            std::mismatch(old.begin(), old.end(), open.begin(), open.end()).first - old.begin());
        size_t tail = 0;
        while (tail < old.size() - head && tail < open.size() - head &&
               old[old.size() - 1 - tail] == open[open.size() - 1 - tail]) {
            ++tail;
        }
        if (head + tail == old.size()) {
            continue;
        }
        const size_t between = old.size() - head - tail;
        std::optional<std::unordered_set<NetConnection, ConnectionHash>> stillOpen;
        if (between * open.size() > kLinearLookupLimit) {
            stillOpen.emplace(open.begin(), open.end());
        }
        std::vector<ClosedConnection> justClosed;
        for (size_t i = head; i < old.size() - tail; ++i) {
            const NetConnection& socket = old[i];
            if (socket.state == TCPState::listen) {
                continue;
            }
            if (stillOpen ? stillOpen->contains(socket)
                          : std::find(open.begin(), open.end(), socket) != open.end()) {
                continue;
            }
            justClosed.push_back({socket, now});
        }
        if (justClosed.empty()) {
            continue;
        }
        auto& list = closed[process.id];
        list.insert(list.begin(), justClosed.begin(), justClosed.end());
        if (list.size() > kMaxClosedPerPID) {
            list.resize(kMaxClosedPerPID);
        }
    }
    return closed;
}

void addFinalBytes(RecentlyClosedByPID& closed, const std::vector<HelperConnectionData>& ended) {
    for (const HelperConnectionData& row : ended) {
        const auto list = closed.find(row.pid);
        if (!row.cookie || list == closed.end()) {
            continue;
        }
        for (ClosedConnection& entry : list->second) {
            if (entry.connection.cookie == row.cookie) {
                entry.finalBytesIn = row.bytesIn;
                entry.finalBytesOut = row.bytesOut;
            }
        }
    }
}

size_t establishedConnectionCount(const std::vector<NetProcess>& processes) {
    size_t count = 0;
    for (const auto& process : processes) {
        count += static_cast<size_t>(
            std::count_if(process.connections.begin(), process.connections.end(),
                          [](const NetConnection& c) { return c.state == TCPState::established; }));
    }
    return count;
}

} // namespace korvel
