#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace korvel {

// The socket inodes each process held when its descriptors were last walked,
// with its CPU time then. Every change to a descriptor table is a system call
// made by one of the process's own threads, so a process whose CPU time has
// not moved since holds the same descriptors and its walk can be skipped:
// most processes of a machine sleep between two readings, and walking their
// descriptors was most of a request's cost.
class DescriptorMemory {
public:
    // One process at one moment: pid reuse changes the start time; any
    // thread's running changes the CPU time.
    struct Identity {
        uint64_t startTimeTicks = 0;
        uint64_t cpuRuntimeNS = 0;
        bool operator==(const Identity&) const = default;
    };

    // Tables shared between processes (clone with CLONE_FILES) could change
    // while the process itself sleeps; no memory is trusted longer than this.
    static constexpr double kLongestTrustSeconds = 30;

    // The sockets, in descriptor order, that the process held when it was
    // walked with this identity no longer than kLongestTrustSeconds ago.
    const std::vector<uint64_t>* recall(int32_t pid, const Identity& identity,
                                        double nowSeconds) const;
    // The identity must have been read before the walk began.
    void remember(int32_t pid, const Identity& identity, double walkedAtSeconds,
                  std::vector<uint64_t> socketInodes);
    // Drops every process not in listedPids.
    void keepOnly(std::vector<int32_t> listedPids);
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        Identity identity;
        double walkedAtSeconds = 0;
        std::vector<uint64_t> socketInodes;
    };
    std::unordered_map<int32_t, Entry> entries_;
};

} // namespace korvel
