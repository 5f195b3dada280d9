#pragma once

#include "helper/descriptor_memory.h"
#include "platform/proc/proc_source.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel {

// A TCP connection with both ends here never leaves the machine: it is not
// listed, so it is never counted as network traffic.
bool bothEndsLoopback(std::string_view local, std::string_view remote);

// The row of one socket of the tables for the given pid; no value for a TCP
// socket with both ends on loopback.
std::optional<HelperConnectionData> connectionRow(const platform::proc::SocketInfo& info,
                                                  int32_t pid);

// The IPv4/IPv6 TCP and UDP sockets of the processes' descriptors, appended to
// out pid by pid in the given order, each in descriptor order, one row per
// descriptor (a socket held twice is listed twice). TCP sockets with both ends
// on loopback are left out. The walk runs on `workers` threads (0: one per
// online CPU), each with its own buffers. The sockets are looked up only after
// every descriptor is listed and `tablesReady` has returned, so the tables may
// be loading on another thread until then; they must be loaded for this
// request by that time.
//
// With `remembered`, a process whose identity (one per pid, read before the
// walk; no value: walk it and keep nothing) matches the memory is not walked
// again, and every process walked with an identity is remembered. With
// `walks`, what each process's walk found (or the memory recalled), pid by
// pid in the given order.
struct RememberedWalks {
    DescriptorMemory& memory;
    const std::vector<std::optional<DescriptorMemory::Identity>>& identities;
    double nowSeconds = 0;
};
void appendSocketsForPids(platform::proc::ProcSource& source, const std::vector<int32_t>& pids,
                          std::vector<HelperConnectionData>& out, unsigned workers = 0,
                          const std::function<void()>& tablesReady = {},
                          const RememberedWalks* remembered = nullptr,
                          std::vector<DescriptorMemory::Walk>* walks = nullptr);

} // namespace korvel
