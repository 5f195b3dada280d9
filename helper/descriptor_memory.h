#pragma once

#include "platform/proc/usage_files.h"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace korvel {

// What each process held when its descriptors were last walked (sockets, GPU
// descriptors) and the storage bytes it had moved, with its CPU time then. Every change to a
// descriptor table is a system call made by one of the process's own threads, so a process whose
// CPU time has not moved since holds the same descriptors and its walk can be skipped: most
// processes of a machine sleep between two readings, and walking their descriptors was most of a
// request's cost.
class DescriptorMemory {
public:
    // One process at one moment: pid reuse changes the start time; any
    // thread's running changes the CPU time.
    struct Identity {
        uint64_t startTimeTicks = 0;
        uint64_t cpuRuntimeNS = 0;
        bool operator==(const Identity&) const = default;
    };

    // What one walk of a process found.
    struct Walk {
        std::vector<uint64_t> socketInodes; // in descriptor order
        std::vector<int32_t> drmDescriptors;
        // Reading or writing is a system call too, so it holds while the
        // CPU time does.
        std::optional<platform::proc::IoCounters> io;
    };

    // Tables shared between processes (clone with CLONE_FILES) could change
    // while the process itself sleeps; no memory is trusted longer than this.
    static constexpr double kLongestTrustSeconds = 30;

    // The walk of the process with this identity, no longer than
    // kLongestTrustSeconds ago.
    const Walk* recall(int32_t pid, const Identity& identity, double nowSeconds) const;
    // The identity must have been read before the walk began.
    void remember(int32_t pid, const Identity& identity, double walkedAtSeconds, Walk walk);
    // Drops every process not in listedPids.
    void keepOnly(std::vector<int32_t> listedPids);
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        Identity identity;
        double walkedAtSeconds = 0;
        Walk walk;
    };
    std::unordered_map<int32_t, Entry> entries_;
};

} // namespace korvel
