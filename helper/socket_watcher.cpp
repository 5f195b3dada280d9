#include "helper/socket_watcher.h"

#include "helper/socket_table.h"

#include <algorithm>
#include <unordered_map>

namespace korvel {
namespace {

// BSD numbering (platform/proc/tcp_state.h).
constexpr int32_t kListenState = 1;
constexpr int32_t kEstablishedState = 4;
constexpr int32_t kCloseWaitState = 5;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::chrono::milliseconds SocketWatcher::period() const {
    return kShortestPeriod *
           std::max<size_t>(1, (tableSize_ + kSocketsPerPeriodStep - 1) / kSocketsPerPeriodStep);
}

bool SocketWatcher::dump(platform::proc::InetSocketTable& table, bool withByteCounters) {
    if (!diag_ || !diag_->isOpen()) {
        diag_.emplace(); // a broken dump closes its socket
    }
    table.reserve(tableSize_);
    if (!diag_->dumpTcpBothFamilies(table, withByteCounters)) {
        return false;
    }
    tableSize_ = table.size();
    return true;
}

std::vector<platform::proc::SocketInfo>
SocketWatcher::note(const platform::proc::InetSocketTable& table, std::optional<uint64_t> opens) {
    std::vector<platform::proc::SocketInfo> fresh;
    bool awaitingAccept = false;
    std::vector<uint64_t> seen;
    seen.reserve(table.size());
    for (const platform::proc::SocketInfo& socket : table.records()) {
        if (!socket.cookie) {
            continue;
        }
        const bool walkable = !ownUid_ || ownUid_ == 0u || socket.uid == ownUid_;
        if (socket.inode == 0) {
            // Closed by its process (no inode ever again), or connected but
            // not yet accepted: that one gets its inode without a new
            // connection moving the count.
            awaitingAccept = awaitingAccept || (walkable && (socket.tcpState == kEstablishedState ||
                                                             socket.tcpState == kCloseWaitState));
            continue;
        }
        seen.push_back(*socket.cookie);
        if (socket.tcpState != kListenState && walkable &&
            !std::binary_search(known_.begin(), known_.end(), *socket.cookie) &&
            connectionRow(socket, 0)) {
            fresh.push_back(socket);
        }
    }
    std::sort(seen.begin(), seen.end());
    known_ = std::move(seen);
    opens_ = awaitingAccept ? std::nullopt : opens;
    return fresh;
}

std::vector<platform::proc::SocketInfo> SocketWatcher::openSockets() {
    const std::optional<uint64_t> opens = source_.tcpConnectionsOpened();
    platform::proc::InetSocketTable table;
    if (!dump(table, true)) {
        return {};
    }
    note(table, opens);
    return table.records();
}

std::vector<platform::proc::SocketInfo> SocketWatcher::freshSockets() {
    // Read before the dump: a connection made during it moves the count
    // again, so the next look dumps once more.
    const std::optional<uint64_t> opens = source_.tcpConnectionsOpened();
    platform::proc::InetSocketTable table;
    if ((opens && opens == opens_) || !dump(table, false)) {
        return {};
    }
    return note(table, opens);
}

std::vector<HelperConnectionData>
SocketWatcher::findHolders(const std::vector<platform::proc::SocketInfo>& sockets) {
    std::vector<HelperConnectionData> rows;
    std::unordered_map<uint64_t, const platform::proc::SocketInfo*> wanted;
    for (const platform::proc::SocketInfo& socket : sockets) {
        wanted.emplace(socket.inode, &socket);
    }
    const auto claim = [&](int32_t pid, const std::vector<uint64_t>& inodes) {
        for (const uint64_t inode : inodes) {
            if (const auto found = wanted.find(inode); found != wanted.end()) {
                if (auto row = connectionRow(*found->second, pid)) {
                    rows.push_back(std::move(*row));
                }
                wanted.erase(found);
            }
        }
    };
    const double now = steadySeconds();
    const std::vector<int32_t> pids = source_.listPidEntries();
    // A process that has not run since its walk holds what it held then;
    // the others are walked only while sockets are still unclaimed.
    std::vector<std::pair<int32_t, DescriptorMemory::Identity>> moved;
    for (const int32_t pid : pids) {
        if (wanted.empty()) {
            break;
        }
        const std::optional<uint64_t> runtime = source_.cpuRuntimeNS(pid);
        if (!runtime) {
            continue;
        }
        const DescriptorMemory::Identity identity{0, *runtime};
        if (const auto* walk = memory_.recall(pid, identity, now)) {
            claim(pid, walk->socketInodes);
        } else {
            moved.emplace_back(pid, identity);
        }
    }
    for (const auto& [pid, identity] : moved) {
        if (wanted.empty()) {
            break;
        }
        DescriptorMemory::Walk walk;
        if (source_.listDescriptors(pid, descriptors_, directory_)) {
            for (const platform::proc::Descriptor& descriptor : descriptors_) {
                if (descriptor.isSocket) {
                    walk.socketInodes.push_back(descriptor.socketInode);
                }
            }
        }
        claim(pid, walk.socketInodes);
        memory_.remember(pid, identity, now, std::move(walk));
    }
    if (!pids.empty()) {
        memory_.keepOnly(pids);
    }
    return rows;
}

} // namespace korvel
