#include "helper/socket_table.h"

#include "platform/proc/address_text.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string_view>
#include <system_error>
#include <thread>

namespace korvel {
namespace {

using platform::proc::Family;
using platform::proc::SocketInfo;
using platform::proc::Transport;
using Identity = DescriptorMemory::Identity;

std::string_view protoName(const SocketInfo& info) {
    const bool v6 = info.family == Family::inet6;
    if (info.transport == Transport::tcp) {
        return v6 ? "TCP6" : "TCP";
    }
    return v6 ? "UDP6" : "UDP";
}

// Pids per unit of work: small, so that one process with thousands of
// descriptors does not leave the other workers idle behind it.
constexpr size_t kPidsPerBlock = 8;
// Below this a second thread costs more than it saves.
constexpr size_t kFewestPidsToShare = 32;

struct WalkBuffers {
    std::vector<platform::proc::Descriptor> descriptors;
    std::vector<char> directory;
    std::string text;
};

// A socket descriptor found by the walk, before its table entry is looked up.
struct HeldSocket {
    int32_t pid;
    uint64_t inode;
};

// Runs work(block, buffers) for every block on up to `workers` threads, the
// calling one included, each with its own buffers.
template <typename Work> void forEachBlock(unsigned workers, size_t blocks, const Work& work) {
    std::atomic<size_t> nextBlock{0};
    const auto drain = [&] {
        WalkBuffers buffers;
        for (size_t block; (block = nextBlock.fetch_add(1)) < blocks;) {
            work(block, buffers);
        }
    };
    std::vector<std::jthread> pool;
    for (unsigned i = 1; i < std::min<size_t>(workers, blocks); ++i) {
        try {
            pool.emplace_back(drain);
        } catch (const std::system_error&) {
            break; // the threads there are share the rest
        }
    }
    drain();
}

void appendRow(const platform::proc::ProcSource& source, const HeldSocket& socket,
               std::vector<HelperConnectionData>& out) {
    // Unix, raw and netlink sockets are not in the tables.
    const SocketInfo* info = source.socketInfo(socket.inode);
    if (info == nullptr) {
        return;
    }
    if (auto row = connectionRow(*info, socket.pid)) {
        out.push_back(std::move(*row));
    }
}

} // namespace

bool bothEndsLoopback(std::string_view local, std::string_view remote) {
    return (local.starts_with("127.") && remote.starts_with("127.")) ||
           (local == "::1" && remote == "::1");
}

std::optional<HelperConnectionData> connectionRow(const SocketInfo& info, int32_t pid) {
    HelperConnectionData row;
    row.localAddr = platform::proc::addressText(info.family, info.localAddress);
    row.remoteAddr = platform::proc::addressText(info.family, info.remoteAddress);
    const bool tcp = info.transport == Transport::tcp;
    if (tcp && bothEndsLoopback(row.localAddr, row.remoteAddr)) {
        return std::nullopt;
    }
    row.pid = pid;
    row.proto = protoName(info);
    row.localPort = info.localPort;
    row.remotePort = info.remotePort;
    row.tcpStateRaw = tcp ? info.tcpState : -1;
    row.cookie = info.cookie; // the kernel meter's key for UDP
    if (tcp) {
        row.bytesIn = info.bytesReceived;
        row.bytesOut = info.bytesAcked;
    }
    return row;
}

void appendSocketsForPids(platform::proc::ProcSource& source, const std::vector<int32_t>& pids,
                          std::vector<HelperConnectionData>& out, unsigned workers,
                          const std::function<void()>& tablesReady,
                          const RememberedWalks* remembered,
                          std::vector<DescriptorMemory::Walk>* walks) {
    if (workers == 0) {
        workers = std::max(1U, std::thread::hardware_concurrency());
    }
    if (pids.size() < kFewestPidsToShare) {
        workers = 1;
    }
    const size_t blocks = (pids.size() + kPidsPerBlock - 1) / kPidsPerBlock;
    // First every descriptor is listed, keeping only the sockets, so the
    // socket tables may still be loading meanwhile.
    std::vector<std::vector<HeldSocket>> held(blocks);
    // Walks to remember, by index into pids; the memory is only read meanwhile.
    std::vector<std::vector<std::pair<size_t, DescriptorMemory::Walk>>> walked(blocks);
    if (walks) {
        walks->assign(pids.size(), {});
    }
    forEachBlock(workers, blocks, [&](size_t block, WalkBuffers& buffers) {
        const size_t end = std::min(pids.size(), (block + 1) * kPidsPerBlock);
        for (size_t i = block * kPidsPerBlock; i < end; ++i) {
            const auto& identity =
                remembered ? remembered->identities.at(i) : std::optional<Identity>();
            if (identity) {
                if (const auto* recalled =
                        remembered->memory.recall(pids[i], *identity, remembered->nowSeconds)) {
                    for (const uint64_t inode : recalled->socketInodes) {
                        held[block].push_back({pids[i], inode});
                    }
                    if (walks) {
                        (*walks)[i] = {{}, recalled->drmDescriptors, recalled->io};
                    }
                    continue;
                }
            }
            if (!source.listDescriptors(pids[i], buffers.descriptors, buffers.directory)) {
                continue;
            }
            DescriptorMemory::Walk walk;
            for (const platform::proc::Descriptor& descriptor : buffers.descriptors) {
                if (descriptor.isSocket) {
                    held[block].push_back({pids[i], descriptor.socketInode});
                    walk.socketInodes.push_back(descriptor.socketInode);
                } else if (descriptor.isDrm) {
                    walk.drmDescriptors.push_back(descriptor.fd);
                }
            }
            walk.io = source.ioCounters(pids[i], buffers.text);
            if (walks) {
                (*walks)[i] = {{}, walk.drmDescriptors, walk.io};
            }
            if (identity) {
                walked[block].emplace_back(i, std::move(walk));
            }
        }
    });
    if (remembered) {
        for (auto& block : walked) {
            for (auto& [i, walk] : block) {
                remembered->memory.remember(pids[i], *remembered->identities[i],
                                            remembered->nowSeconds, std::move(walk));
            }
        }
    }
    if (tablesReady) {
        tablesReady();
    }
    // Each block's rows go to its own list, joined in pid order afterwards.
    std::vector<std::vector<HelperConnectionData>> rows(blocks);
    forEachBlock(workers, blocks, [&](size_t block, WalkBuffers&) {
        for (const HeldSocket& socket : held[block]) {
            appendRow(source, socket, rows[block]);
        }
    });
    size_t total = out.size();
    for (const auto& block : rows) {
        total += block.size();
    }
    out.reserve(total);
    for (auto& block : rows) {
        std::move(block.begin(), block.end(), std::back_inserter(out));
    }
}

} // namespace korvel
