#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <optional>
#include <string>

namespace korvel::testing {

// An INET_DIAG_INFO attribute holding the first `length` bytes of a tcp_info.
inline std::string tcpInfoAttribute(uint64_t acked, uint64_t received,
                                    size_t length = sizeof(tcp_info)) {
    tcp_info info{};
    info.tcpi_bytes_acked = acked;
    info.tcpi_bytes_received = received;
    rtattr header{};
    header.rta_type = INET_DIAG_INFO;
    header.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(&info), length);
    bytes.append(RTA_ALIGN(header.rta_len) - header.rta_len, '\0');
    return bytes;
}

// Netlink messages as the kernel lays them out in a dump buffer or a
// destroy event (sequence 0, inode 0).
class DumpBuffer {
public:
    // Without a cookie, one made of the inode and a set high half, so that a
    // cookie assembled from one half only shows.
    void socket(uint32_t seq, uint8_t family, uint8_t state, std::array<uint8_t, 2> sport,
                std::array<uint8_t, 2> dport, const std::array<uint8_t, 16>& src,
                const std::array<uint8_t, 16>& dst, uint32_t inode,
                const std::string& attributes = {}, uint16_t type = SOCK_DIAG_BY_FAMILY,
                std::optional<uint64_t> cookie = std::nullopt) {
        inet_diag_msg msg{};
        msg.idiag_family = family;
        msg.idiag_state = state;
        std::memcpy(&msg.id.idiag_sport, sport.data(), 2);
        std::memcpy(&msg.id.idiag_dport, dport.data(), 2);
        std::memcpy(msg.id.idiag_src, src.data(), 16);
        std::memcpy(msg.id.idiag_dst, dst.data(), 16);
        msg.idiag_inode = inode;
        msg.idiag_uid = inode + 1;
        const uint64_t value = cookie.value_or(inode | uint64_t{2} << 32);
        msg.id.idiag_cookie[0] = static_cast<uint32_t>(value);
        msg.id.idiag_cookie[1] = static_cast<uint32_t>(value >> 32);
        std::string payload(reinterpret_cast<const char*>(&msg), sizeof msg);
        payload.append(attributes);
        message(seq, type, payload);
    }
    void done(uint32_t seq) { message(seq, NLMSG_DONE, std::string(4, '\0')); }
    void error(uint32_t seq) {
        nlmsgerr err{};
        err.error = -ENOENT;
        message(seq, NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&err), sizeof err));
    }
    const std::string& bytes() const { return bytes_; }

private:
    void message(uint32_t seq, uint16_t type, const std::string& payload) {
        nlmsghdr header{};
        header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(payload.size()));
        header.nlmsg_type = type;
        header.nlmsg_seq = seq;
        bytes_.append(reinterpret_cast<const char*>(&header), sizeof header);
        bytes_.append(payload);
        bytes_.append(NLMSG_ALIGN(header.nlmsg_len) - header.nlmsg_len, '\0');
    }
    std::string bytes_;
};

} // namespace korvel::testing
