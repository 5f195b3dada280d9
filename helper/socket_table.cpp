#include "helper/socket_table.h"

#include "platform/proc/address_text.h"

#include <string_view>

namespace korvel {
namespace {

using platform::proc::Family;
using platform::proc::SocketInfo;
using platform::proc::Transport;

bool bothLoopback(std::string_view local, std::string_view remote) {
    return (local.starts_with("127.") && remote.starts_with("127.")) ||
           (local == "::1" && remote == "::1");
}

std::string_view protoName(const SocketInfo& info) {
    const bool v6 = info.family == Family::inet6;
    if (info.transport == Transport::tcp) {
        return v6 ? "TCP6" : "TCP";
    }
    return v6 ? "UDP6" : "UDP";
}

} // namespace

void appendSocketsForPid(platform::proc::ProcSource& source, int32_t pid,
                         std::vector<platform::proc::Descriptor>& descriptors,
                         std::vector<HelperConnectionData>& out) {
    if (!source.listDescriptors(pid, descriptors)) {
        return;
    }
    for (const platform::proc::Descriptor& descriptor : descriptors) {
        if (!descriptor.isSocket) {
            continue;
        }
        // Unix, raw and netlink sockets are not in the tables.
        const SocketInfo* info = source.socketInfo(descriptor.socketInode);
        if (info == nullptr) {
            continue;
        }
        HelperConnectionData row;
        row.localAddr = platform::proc::addressText(info->family, info->localAddress);
        row.remoteAddr = platform::proc::addressText(info->family, info->remoteAddress);
        const bool tcp = info->transport == Transport::tcp;
        if (tcp && bothLoopback(row.localAddr, row.remoteAddr)) {
            continue;
        }
        row.pid = pid;
        row.proto = protoName(*info);
        row.localPort = info->localPort;
        row.remotePort = info->remotePort;
        row.tcpStateRaw = tcp ? info->tcpState : -1;
        if (tcp) {
            row.bytesIn = info->bytesReceived;
            row.bytesOut = info->bytesAcked;
        }
        out.push_back(std::move(row));
    }
}

std::vector<HelperConnectionData> socketsForPid(platform::proc::ProcSource& source, int32_t pid) {
    std::vector<platform::proc::Descriptor> descriptors;
    std::vector<HelperConnectionData> rows;
    appendSocketsForPid(source, pid, descriptors, rows);
    return rows;
}

} // namespace korvel
