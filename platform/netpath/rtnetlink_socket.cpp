#include "platform/netpath/rtnetlink_socket.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvel::platform::netpath {
namespace {

// Room for a burst of notifications (a VPN coming up adds many routes at
// once); a drop still ends in a full re-read.
constexpr int kReceiveBufferBytes = 1 << 20;
// Dumps fill datagrams up to the reader's buffer, at most 32 KiB per datagram.
constexpr size_t kDatagramBytes = 64 * 1024;

template <typename Body> struct Request {
    nlmsghdr header;
    Body body;
};

template <typename Body> bool sendDump(int fd, uint16_t type, uint32_t seq) {
    Request<Body> request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(fd, &request, request.header.nlmsg_len, 0,
                                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

} // namespace

RtnetlinkSocket::RtnetlinkSocket() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RtnetlinkSocket::~RtnetlinkSocket() {
    closeSocket();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void RtnetlinkSocket::closeSocket() {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    portId_ = 0;
}

bool RtnetlinkSocket::open() {
    closeSocket();
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(fd);
        return false;
    }
    socket_ = fd;
    portId_ = local.nl_pid;
    return true;
}

bool RtnetlinkSocket::requestDump(Dump what, uint32_t seq) {
    if (socket_ < 0) {
        return false;
    }
    switch (what) {
    case Dump::links:
        return sendDump<ifinfomsg>(socket_, RTM_GETLINK, seq);
    case Dump::addresses:
        return sendDump<ifaddrmsg>(socket_, RTM_GETADDR, seq);
    case Dump::routes:
        return sendDump<rtmsg>(socket_, RTM_GETROUTE, seq);
    }
    return false;
}

NetlinkSource::Received RtnetlinkSocket::receive(bool wait) {
    Received result;
    if (socket_ < 0) {
        return result;
    }
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, wait ? -1 : 0);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return result;
        }
        if (ready > 0 && wakeFd_ >= 0 && (fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            while (::read(wakeFd_, &count, sizeof count) > 0) {
            }
            result.status = Status::woken;
            return result;
        }
        if (ready == 0 || (fds[0].revents & (POLLIN | POLLERR)) == 0) {
            if (!wait) {
                result.status = Status::wouldBlock;
                return result;
            }
            if ((fds[0].revents & (POLLHUP | POLLNVAL)) != 0) {
                return result;
            }
            continue;
        }
        result.bytes.resize(kDatagramBytes);
        sockaddr_nl sender{};
        iovec io{result.bytes.data(), result.bytes.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(socket_, &message, 0);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            result.bytes.clear();
            result.status = errno == ENOBUFS ? Status::overflow : Status::closed;
            return result;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0) {
            result.bytes.clear();
            result.status = Status::overflow;
            return result;
        }
        if (sender.nl_pid != 0) {
            continue;
        }
        result.bytes.resize(static_cast<size_t>(received));
        result.status = Status::datagram;
        return result;
    }
}

void RtnetlinkSocket::wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

} // namespace korvel::platform::netpath
