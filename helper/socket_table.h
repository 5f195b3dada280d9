#pragma once

#include "helper/descriptor_memory.h"
#include "platform/proc/proc_source.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvel {

// The IPv4/IPv6 TCP and UDP sockets of one process's descriptors, in
// descriptor order, one row per descriptor (a socket held twice is listed
// twice). TCP sockets with both ends on loopback are left out. The source's
// socket tables must have been loaded for this request.
// The row of one socket of the tables for the given pid; no value for a TCP
// socket with both ends on loopback.
std::optional<HelperConnectionData> connectionRow(const platform::proc::SocketInfo& info,
                                                  int32_t pid);

std::vector<HelperConnectionData> socketsForPid(platform::proc::ProcSource& source, int32_t pid);

// The same rows appended to out; `descriptors` is scratch space kept by the
// caller so a walk over many processes reuses one buffer.
void appendSocketsForPid(platform::proc::ProcSource& source, int32_t pid,
                         std::vector<platform::proc::Descriptor>& descriptors,
                         std::vector<HelperConnectionData>& out);

// The same for many processes at once, on `workers` threads (0: one per
// online CPU), each with its own buffers. The rows are those the one-process
// walk gives for each pid in turn, in that order. The sockets are looked up
// only after every descriptor is listed and `tablesReady` has returned, so the
// tables may be loading on another thread until then.
//
// With `remembered`, a process whose identity (one per pid, read before the
// walk; no value: walk it and keep nothing) matches the memory is not walked
// again, and every process walked with an identity is remembered.
struct RememberedWalks {
    DescriptorMemory& memory;
    const std::vector<std::optional<DescriptorMemory::Identity>>& identities;
    double nowSeconds = 0;
};
void appendSocketsForPids(platform::proc::ProcSource& source, const std::vector<int32_t>& pids,
                          std::vector<HelperConnectionData>& out, unsigned workers = 0,
                          const std::function<void()>& tablesReady = {},
                          const RememberedWalks* remembered = nullptr);

} // namespace korvel
