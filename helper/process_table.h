#pragma once

#include "helper/descriptor_memory.h"
#include "helper/system_process.h"
#include "platform/proc/proc_source.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <vector>

namespace korvel {

// Every process the kernel lists (system ones only with showSystem), appending
// each kept process's sockets to connections in the same order. The line
// between system and user is drawn for this process's own user. With a
// memory, processes that have not run since their last walk are not walked
// again (see DescriptorMemory).
std::vector<HelperProcessData> collectProcessTable(bool showSystem,
                                                   std::vector<HelperConnectionData>& connections,
                                                   DescriptorMemory* memory = nullptr);

// The same over a given process source.
std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   bool showSystem,
                                                   std::vector<HelperConnectionData>& connections,
                                                   DescriptorMemory* memory = nullptr);

// The rows of the given pids, in their order, as if the source had listed them,
// with the line drawn by the given rule; the descriptors are walked on
// `walkers` threads (0: one per online CPU).
std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   const std::vector<int32_t>& pids,
                                                   bool showSystem, const SystemProcessRule& rule,
                                                   std::vector<HelperConnectionData>& connections,
                                                   unsigned walkers = 0,
                                                   DescriptorMemory* memory = nullptr);

} // namespace korvel
