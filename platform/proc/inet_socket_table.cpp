#include "platform/proc/inet_socket_table.h"

namespace korvel::platform::proc {
namespace {

// Inodes come from a counter, so neighbours must not land in neighbouring slots.
uint64_t mix(uint64_t inode) {
    inode ^= inode >> 33;
    inode *= 0xff51afd7ed558ccdULL;
    inode ^= inode >> 33;
    return inode;
}

} // namespace

void InetSocketTable::clear() {
    records_.clear();
    slots_.clear();
    mask_ = 0;
}

void InetSocketTable::truncate(size_t count) {
    if (count < records_.size()) {
        records_.resize(count);
    }
}

void InetSocketTable::index() {
    size_t capacity = 16;
    while (capacity < records_.size() * 2) {
        capacity *= 2;
    }
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (size_t i = 0; i < records_.size(); ++i) {
        const uint64_t inode = records_[i].inode;
        if (inode == 0) {
            continue; // time-wait and request sockets: no descriptor can name them
        }
        for (uint64_t slot = mix(inode) & mask_;; slot = (slot + 1) & mask_) {
            if (slots_[slot] == 0) {
                slots_[slot] = static_cast<uint32_t>(i + 1);
                break;
            }
            if (records_[slots_[slot] - 1].inode == inode) {
                break; // keep the first
            }
        }
    }
}

const SocketInfo* InetSocketTable::find(uint64_t inode) const {
    if (slots_.empty() || inode == 0) {
        return nullptr;
    }
    for (uint64_t slot = mix(inode) & mask_;; slot = (slot + 1) & mask_) {
        const uint32_t entry = slots_[slot];
        if (entry == 0) {
            return nullptr;
        }
        if (records_[entry - 1].inode == inode) {
            return &records_[entry - 1];
        }
    }
}

} // namespace korvel::platform::proc
