#include "platform/proc/sock_diag.h"

#include "platform/proc/tcp_state.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

// States 1 to 11 but TIME_WAIT (6): time-wait and request sockets have no
// inode. Bound-only sockets (13) would cost a walk of the bind hash as well.
constexpr uint32_t kTcpStates = ((1u << 12) - 2) & ~(1u << 6);
constexpr uint32_t kUdpStates = ~0u;

// A dump message comes in buffers of at most 32 KiB; twice that leaves room.
constexpr size_t kReceiveBuffer = 64 * 1024;
// Thousands of destroy messages; an unprivileged socket gets at most the system's limit.
constexpr int kDestroyReceiveBuffer = 4 * 1024 * 1024;

// Only tcp_info is asked for: it carries the per-socket byte counters.
constexpr uint8_t kTcpExtensions = 1u << (INET_DIAG_INFO - 1);

// The byte counters from a tcp_info attribute, when the kernel's tcp_info is
// long enough to hold them (older kernels send a shorter one).
void readByteCounters(const char* attributes, size_t size, SocketInfo& info) {
    size_t offset = 0;
    while (size - offset >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, attributes + offset, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - offset) {
            return;
        }
        if (attribute.rta_type == INET_DIAG_INFO) {
            const char* value = attributes + offset + RTA_LENGTH(0);
            const size_t length = attribute.rta_len - RTA_LENGTH(0);
            constexpr size_t kEnd = offsetof(tcp_info, tcpi_bytes_received) + sizeof(uint64_t);
            if (length >= kEnd) {
                uint64_t acked = 0;
                uint64_t received = 0;
                std::memcpy(&acked, value + offsetof(tcp_info, tcpi_bytes_acked), sizeof acked);
                std::memcpy(&received, value + offsetof(tcp_info, tcpi_bytes_received),
                            sizeof received);
                // The peer's acknowledgement of our SYN counts one; it is no payload.
                info.bytesAcked = acked > 0 ? acked - 1 : 0;
                info.bytesReceived = received;
            }
            return;
        }
        offset += RTA_ALIGN(attribute.rta_len);
        if (offset > size) {
            return;
        }
    }
}

// One socket message of a dump or a destroy event; no value for a family
// other than IPv4/IPv6 or a message too short to hold one.
std::optional<SocketInfo> readSocketMessage(const char* payload, size_t payloadSize,
                                            Transport transport) {
    if (payloadSize < sizeof(inet_diag_msg)) {
        return std::nullopt;
    }
    inet_diag_msg message;
    std::memcpy(&message, payload, sizeof message);
    SocketInfo info;
    if (message.idiag_family == AF_INET) {
        info.family = Family::inet;
    } else if (message.idiag_family == AF_INET6) {
        info.family = Family::inet6;
    } else {
        return std::nullopt;
    }
    info.inode = message.idiag_inode;
    info.uid = message.idiag_uid;
    if (message.id.idiag_cookie[0] != INET_DIAG_NOCOOKIE ||
        message.id.idiag_cookie[1] != INET_DIAG_NOCOOKIE) {
        info.cookie = uint64_t{message.id.idiag_cookie[1]} << 32 | message.id.idiag_cookie[0];
    }
    info.transport = transport;
    info.localPort = ntohs(message.id.idiag_sport);
    info.remotePort = ntohs(message.id.idiag_dport);
    info.tcpState = translateTcpState(message.idiag_state);
    std::memcpy(info.localAddress.data(), message.id.idiag_src, 16);
    std::memcpy(info.remoteAddress.data(), message.id.idiag_dst, 16);
    if (info.family == Family::inet) {
        std::memset(info.localAddress.data() + 4, 0, 12);
        std::memset(info.remoteAddress.data() + 4, 0, 12);
    }
    if (transport == Transport::tcp) {
        const size_t head = NLMSG_ALIGN(sizeof(inet_diag_msg));
        if (payloadSize > head) {
            readByteCounters(payload + head, payloadSize - head, info);
        }
    }
    return info;
}

// Calls visit(header, payload, payloadSize) for each message of a buffer; false
// when a message overruns it or a stray tail is left.
template <typename Visit> bool forEachMessage(const char* data, size_t size, Visit visit) {
    size_t offset = 0;
    while (offset < size && size - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - offset) {
            return false;
        }
        const char* payload = data + offset + NLMSG_HDRLEN;
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (!visit(header, payload, header.nlmsg_len - NLMSG_HDRLEN)) {
            return true;
        }
    }
    return offset >= size;
}

} // namespace

DumpStatus parseSockDiagMessages(const char* data, size_t size, uint32_t sequence,
                                 Transport transport, InetSocketTable& out) {
    std::optional<DumpStatus> end;
    const bool whole =
        forEachMessage(data, size, [&](const nlmsghdr& header, const char* payload, size_t length) {
            if (header.nlmsg_seq != sequence) {
                return true;
            }
            if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
                end = header.nlmsg_type == NLMSG_DONE ? DumpStatus::done : DumpStatus::refused;
                return false;
            }
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY || header.nlmsg_type == TCPDIAG_GETSOCK) {
                if (const auto info = readSocketMessage(payload, length, transport)) {
                    out.add(*info);
                }
            }
            return true;
        });
    if (end) {
        return *end;
    }
    return whole ? DumpStatus::more : DumpStatus::malformed;
}

bool parseSocketDestroyMessages(const char* data, size_t size, std::vector<SocketInfo>& out) {
    return forEachMessage(
        data, size, [&](const nlmsghdr& header, const char* payload, size_t length) {
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                if (const auto info = readSocketMessage(payload, length, Transport::tcp)) {
                    out.push_back(*info);
                }
            }
            return true;
        });
}

SockDiagSocket::SockDiagSocket()
    : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

SockDiagSocket::~SockDiagSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool SockDiagSocket::dump(Family family, Transport transport, InetSocketTable& out) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = ++sequence_;
    message.request.sdiag_family = family == Family::inet ? AF_INET : AF_INET6;
    message.request.sdiag_protocol = transport == Transport::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = transport == Transport::tcp ? kTcpStates : kUdpStates;
    message.request.idiag_ext = transport == Transport::tcp ? kTcpExtensions : 0;
    return send(&message, sizeof message) && receive(transport, out);
}

bool SockDiagSocket::dumpTcpBothFamilies(InetSocketTable& out, bool withByteCounters) {
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = TCPDIAG_GETSOCK;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = ++sequence_;
    message.request.idiag_family = AF_UNSPEC;
    message.request.idiag_states = kTcpStates;
    message.request.idiag_ext = withByteCounters ? kTcpExtensions : 0;
    return send(&message, sizeof message) && receive(Transport::tcp, out);
}

bool SockDiagSocket::send(const void* message, size_t size) {
    if (fd_ < 0) {
        return false;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd_, message, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

bool SockDiagSocket::receive(Transport transport, InetSocketTable& out) {
    buffer_.resize(kReceiveBuffer);
    const size_t before = out.size();
    for (;;) {
        iovec vector{buffer_.data(), buffer_.size()};
        msghdr header{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(fd_, &header, 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        DumpStatus status = DumpStatus::malformed;
        if (received > 0 && !(header.msg_flags & MSG_TRUNC)) {
            status = parseSockDiagMessages(buffer_.data(), static_cast<size_t>(received), sequence_,
                                           transport, out);
        }
        if (status == DumpStatus::done) {
            return true;
        }
        if (status == DumpStatus::refused) {
            out.truncate(before);
            return false;
        }
        if (status == DumpStatus::malformed) {
            out.truncate(before);
            // The rest of a broken dump must not be read as the next one's.
            ::close(fd_);
            fd_ = -1;
            return false;
        }
    }
}

TcpDestroyListener::TcpDestroyListener()
    : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG)) {
    if (fd_ < 0) {
        return;
    }
    // Room for a burst between two reads; the kernel caps it for the unprivileged.
    const int bytes = kDestroyReceiveBuffer;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = 1u << (SKNLGRP_INET_TCP_DESTROY - 1) | 1u << (SKNLGRP_INET6_TCP_DESTROY - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TcpDestroyListener::~TcpDestroyListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void TcpDestroyListener::receive(std::vector<SocketInfo>& out, int timeoutMilliseconds) {
    if (fd_ < 0) {
        return;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMilliseconds) <= 0) {
        return;
    }
    buffer_.resize(kReceiveBuffer);
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                continue; // the queue was full: some sockets ended unheard
            }
            return; // EAGAIN: all read
        }
        parseSocketDestroyMessages(buffer_.data(), static_cast<size_t>(received), out);
    }
}

} // namespace korvel::platform::proc
