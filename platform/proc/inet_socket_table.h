#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvel::platform::proc {

enum class Family : uint8_t { inet, inet6 };
enum class Transport : uint8_t { tcp, udp };

// One IPv4/IPv6 TCP or UDP socket of the kernel's tables.
struct SocketInfo {
    uint64_t inode = 0;
    Family family = Family::inet;
    Transport transport = Transport::tcp;
    uint16_t localPort = 0; // host byte order
    uint16_t remotePort = 0;
    int32_t tcpState = 0; // BSD numbering (tcp_state.h); meaningless for UDP
    // Network byte order; an IPv4 address fills the first four bytes.
    std::array<uint8_t, 16> localAddress{};
    std::array<uint8_t, 16> remoteAddress{};
    // TCP payload bytes received and acknowledged by the peer (tcp_info, with
    // the SYN taken off); only the netlink dump carries them, and only from
    // kernels that count them.
    std::optional<uint64_t> bytesReceived{};
    std::optional<uint64_t> bytesAcked{};
    // The kernel's socket cookie: unlike the inode, never given to another
    // socket while the machine runs. Only the netlink dump carries it.
    std::optional<uint64_t> cookie{};
    // The uid that owns the socket; only the netlink dump carries it (a
    // destroy message says 0).
    std::optional<uint32_t> uid{};
};

// The sockets of one request, looked up by inode. Filled with add(), then
// index() once; lookups before index() find nothing. Open addressing over one
// slot array so a table of tens of thousands of sockets costs two allocations.
class InetSocketTable {
public:
    void clear();
    void reserve(size_t count) { records_.reserve(count); }
    void add(const SocketInfo& info) { records_.push_back(info); }
    // Drops the records added after the first `count` (a dump that failed midway).
    void truncate(size_t count);
    void index();

    // The first record added with this inode, or null.
    const SocketInfo* find(uint64_t inode) const;
    size_t size() const { return records_.size(); }
    const std::vector<SocketInfo>& records() const { return records_; }

private:
    std::vector<SocketInfo> records_;
    std::vector<uint32_t> slots_; // record index + 1; 0 is an empty slot
    uint64_t mask_ = 0;
};

} // namespace korvel::platform::proc
