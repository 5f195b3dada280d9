#pragma once

#include "platform/proc/inet_socket_table.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::platform::proc {

enum class DumpStatus { more, done, refused, malformed };

// Adds the sockets carried by one buffer of a NETLINK_SOCK_DIAG inet dump to
// the table. `done` once the dump's end message is seen, `refused` on the
// kernel's error message, `malformed` when a message overruns the buffer,
// `more` when the dump continues in the next buffer. Messages of another
// sequence number are ignored.
DumpStatus parseSockDiagMessages(const char* data, size_t size, uint32_t sequence,
                                 Transport transport, InetSocketTable& out);

// Adds the sockets of one buffer of TCP destroy events, each as it was when
// the kernel let go of it. False when a message overruns the buffer.
bool parseSocketDestroyMessages(const char* data, size_t size, std::vector<SocketInfo>& out);

// A NETLINK_SOCK_DIAG socket in the kernel's TCP destroy groups (IPv4 and
// IPv6): one message per TCP socket that ends, with its cookie and final byte
// counters, for every user's sockets and with no privilege needed.
class TcpDestroyListener {
public:
    TcpDestroyListener();
    ~TcpDestroyListener();
    TcpDestroyListener(const TcpDestroyListener&) = delete;
    TcpDestroyListener& operator=(const TcpDestroyListener&) = delete;

    // False when the kernel refused the socket or the groups.
    bool isOpen() const { return fd_ >= 0; }
    // Waits up to the timeout for a first event, then adds every one queued.
    void receive(std::vector<SocketInfo>& out, int timeoutMilliseconds);

private:
    int fd_ = -1;
    std::vector<char> buffer_;
};

// A NETLINK_SOCK_DIAG socket for the inet dumps of one request.
class SockDiagSocket {
public:
    SockDiagSocket();
    ~SockDiagSocket();
    SockDiagSocket(const SockDiagSocket&) = delete;
    SockDiagSocket& operator=(const SockDiagSocket&) = delete;

    // False when the kernel refused the socket (no sock_diag, a sandbox).
    bool isOpen() const { return fd_ >= 0; }

    // Adds every socket of one table, time-wait and request sockets excepted
    // (no descriptor can hold them). On failure the table is left as it was.
    bool dump(Family family, Transport transport, InetSocketTable& out);

    // Both TCP tables in one walk of the kernel's hash: the older request
    // format is the only one that takes "either family". The walk costs about
    // as much as the sockets it finds on an idle machine, so this halves the
    // fixed part of a request.
    // Without the byte counters a dump is a fraction of the size.
    bool dumpTcpBothFamilies(InetSocketTable& out, bool withByteCounters = true);

private:
    bool send(const void* message, size_t size);
    bool receive(Transport transport, InetSocketTable& out);

    int fd_ = -1;
    uint32_t sequence_ = 0;
    std::vector<char> buffer_;
};

} // namespace korvel::platform::proc
