#pragma once

#include "helper/descriptor_memory.h"
#include "platform/proc/proc_source.h"
#include "platform/proc/sock_diag.h"
#include "shared/helper_response.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// Finds the TCP sockets that appeared since its last look and the processes
// holding them, between two readings: a connection shorter than the
// client's period is otherwise tied to no process, and its bytes, heard when
// it ends, count for nobody. A look costs one file read while no connection
// has been made; else a TCP dump without counters and a walk of only the
// descriptor tables of processes that have run since their last walk, until
// every new socket is found.
class SocketWatcher {
public:
    static constexpr std::chrono::milliseconds kShortestPeriod{250};
    // The period grows by kShortestPeriod for each this many sockets, so the
    // dumps' cost stays bounded as the tables grow.
    static constexpr size_t kSocketsPerPeriodStep = 2000;

    SocketWatcher() = default;

    // How long to wait before the next look.
    std::chrono::milliseconds period() const;

    // The first look: every TCP socket open now, with its counters. None of
    // them is fresh afterwards. Empty when the dump fails.
    std::vector<platform::proc::SocketInfo> openSockets();

    // The sockets with a descriptor, listening ones, those with both ends on
    // loopback and those of processes it cannot walk aside, whose cookies
    // the last look did not see.
    std::vector<platform::proc::SocketInfo> freshSockets();

    // Rows for those of the sockets whose holders were found.
    std::vector<HelperConnectionData>
    findHolders(const std::vector<platform::proc::SocketInfo>& sockets);

private:
    bool dump(platform::proc::InetSocketTable& table, bool withByteCounters);
    // Remembers the table's cookies and returns the fresh sockets.
    std::vector<platform::proc::SocketInfo> note(const platform::proc::InetSocketTable& table,
                                                 std::optional<uint64_t> opens);

    platform::proc::ProcSource source_;
    // Unless it is root, the helper can walk only its own user's processes:
    // another user's socket is never looked for.
    const std::optional<uint32_t> ownUid_ = source_.selfOwnerUid();
    std::optional<platform::proc::SockDiagSocket> diag_;
    DescriptorMemory memory_;
    std::vector<uint64_t> known_;   // the cookies of the last dump, sorted
    std::optional<uint64_t> opens_; // the kernel's count of opened connections then
    size_t tableSize_ = 0;
    std::vector<platform::proc::Descriptor> descriptors_;
    std::vector<char> directory_;
};

} // namespace korvel
