#include "helper/descriptor_memory.h"

#include <algorithm>

namespace korvel {

const DescriptorMemory::Walk* DescriptorMemory::recall(int32_t pid, const Identity& identity,
                                                       double nowSeconds) const {
    const auto entry = entries_.find(pid);
    if (entry == entries_.end() || entry->second.identity != identity) {
        return nullptr;
    }
    const double age = nowSeconds - entry->second.walkedAtSeconds;
    return age >= 0 && age <= kLongestTrustSeconds ? &entry->second.walk : nullptr;
}

void DescriptorMemory::remember(int32_t pid, const Identity& identity, double walkedAtSeconds,
                                Walk walk) {
    entries_[pid] = {identity, walkedAtSeconds, std::move(walk)};
}

void DescriptorMemory::keepOnly(std::vector<int32_t> listedPids) {
    std::sort(listedPids.begin(), listedPids.end());
    std::erase_if(entries_, [&](const auto& entry) {
        return !std::binary_search(listedPids.begin(), listedPids.end(), entry.first);
    });
}

} // namespace korvel
