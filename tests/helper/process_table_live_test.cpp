#include "helper/process_table.h"
#include "helper/socket_table.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel {
namespace {

// Real sockets of this test process, closed when the test ends.
class Sockets {
public:
    ~Sockets() {
        for (int fd : fds_) {
            ::close(fd);
        }
    }

    int open(int family, int type) {
        const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }

    // Bound to the address (port 0: any free one); returns the port.
    uint16_t bind(int fd, const char* address, uint16_t port = 0) {
        sockaddr_storage storage = endpoint(address, port);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&storage), length(storage)), 0) << address;
        socklen_t size = sizeof storage;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
        return portOf(storage);
    }

    bool connect(int fd, const char* address, uint16_t port) {
        sockaddr_storage storage = endpoint(address, port);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length(storage)) == 0;
    }

    int accept(int listener) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }

    // A listener on the address; returns its port.
    uint16_t listen(int fd, const char* address) {
        const uint16_t port = bind(fd, address);
        EXPECT_EQ(::listen(fd, 16), 0);
        return port;
    }

    void socketPair() {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        fds_.push_back(pair[0]);
        fds_.push_back(pair[1]);
    }

private:
    static sockaddr_storage endpoint(const char* address, uint16_t port) {
        sockaddr_storage storage{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        if (::inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(port);
        } else {
            EXPECT_EQ(::inet_pton(AF_INET6, address, &v6->sin6_addr), 1) << address;
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(port);
        }
        return storage;
    }
    static socklen_t length(const sockaddr_storage& s) {
        return s.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    }
    static uint16_t portOf(const sockaddr_storage& s) {
        return s.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in*>(&s)->sin_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in6*>(&s)->sin6_port);
    }

    std::vector<int> fds_;
};

std::vector<HelperConnectionData> withPort(const std::vector<HelperConnectionData>& rows,
                                           uint16_t port) {
    std::vector<HelperConnectionData> found;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(found),
                 [port](const HelperConnectionData& row) {
                     return row.localPort == port || row.remotePort == port;
                 });
    return found;
}

TEST(ProcessTableLiveTest, ThisProcessAndItsSocketsAsTheReplyShowsThem) {
    Sockets sockets;
    const int v4Listener = sockets.open(AF_INET, SOCK_STREAM);
    const uint16_t v4Port = sockets.listen(v4Listener, "127.0.0.1");
    // 127.0.0.1 <-> 127.0.0.1 on both sides: left out.
    const int v4Client = sockets.open(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(sockets.connect(v4Client, "127.0.0.1", v4Port));
    sockets.accept(v4Listener);
    // An IPv6 socket reaching the IPv4 listener: its own ends read ::ffff:127.0.0.1.
    const int mapped = sockets.open(AF_INET6, SOCK_STREAM);
    ASSERT_TRUE(sockets.connect(mapped, "::ffff:127.0.0.1", v4Port));
    sockets.accept(v4Listener);
    const int udp = sockets.open(AF_INET, SOCK_DGRAM);
    const uint16_t udpPort = sockets.bind(udp, "127.0.0.1");
    ASSERT_TRUE(sockets.connect(udp, "127.0.0.1", udpPort));
    sockets.socketPair();
    // ::1 <-> ::1, where this machine has IPv6 loopback.
    const int v6Listener = sockets.open(AF_INET6, SOCK_STREAM);
    uint16_t v6Port = 0;
    sockaddr_in6 probe{};
    if (::inet_pton(AF_INET6, "::1", &probe.sin6_addr) == 1) {
        v6Port = sockets.listen(v6Listener, "::1");
        const int v6Client = sockets.open(AF_INET6, SOCK_STREAM);
        if (!sockets.connect(v6Client, "::1", v6Port)) {
            v6Port = 0;
        }
    }

    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    const std::string exePath(exe, static_cast<size_t>(n));
    const int32_t self = ::getpid();

    for (const bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "netlink" : "files");
        platform::proc::ProcSourceOptions options;
        options.useNetlink = netlink;
        platform::proc::ProcSource source(options);
        std::vector<HelperConnectionData> connections;
        const auto rows = collectProcessTable(source, true, connections);

        const auto me =
            std::find_if(rows.begin(), rows.end(),
                         [self](const HelperProcessData& row) { return row.pid == self; });
        ASSERT_NE(me, rows.end());
        EXPECT_EQ(me->execPath, exePath);
        EXPECT_EQ(me->name, exePath.substr(exePath.rfind('/') + 1));
        EXPECT_GT(me->memBytes, 1u << 20);
        for (const auto& row : rows) {
            EXPECT_GT(row.pid, 0);
            EXPECT_FALSE(row.name.empty());
        }

        std::vector<HelperConnectionData> mine;
        std::copy_if(connections.begin(), connections.end(), std::back_inserter(mine),
                     [self](const HelperConnectionData& row) { return row.pid == self; });
        EXPECT_EQ(socketsForPid(source, self), mine);

        const auto v4Rows = withPort(mine, v4Port);
        // The listener and the IPv6 client; the accepted ends are IPv4 sockets
        // with 127.0.0.1 on both sides.
        ASSERT_EQ(v4Rows.size(), 2u);
        EXPECT_EQ(v4Rows[0].proto, "TCP");
        EXPECT_EQ(v4Rows[0].localAddr, "127.0.0.1");
        EXPECT_EQ(v4Rows[0].localPort, v4Port);
        EXPECT_EQ(v4Rows[0].remoteAddr, "0.0.0.0");
        EXPECT_EQ(v4Rows[0].remotePort, 0);
        EXPECT_EQ(v4Rows[0].tcpStateRaw, 1);
        EXPECT_EQ(v4Rows[1].proto, "TCP6");
        EXPECT_EQ(v4Rows[1].localAddr, "::ffff:127.0.0.1");
        EXPECT_EQ(v4Rows[1].remoteAddr, "::ffff:127.0.0.1");
        EXPECT_EQ(v4Rows[1].remotePort, v4Port);
        EXPECT_EQ(v4Rows[1].tcpStateRaw, 4);

        const auto udpRows = withPort(mine, udpPort);
        ASSERT_EQ(udpRows.size(), 1u);
        EXPECT_EQ(udpRows[0].proto, "UDP");
        EXPECT_EQ(udpRows[0].remoteAddr, "127.0.0.1");
        EXPECT_EQ(udpRows[0].tcpStateRaw, -1);

        if (v6Port != 0) {
            const auto v6Rows = withPort(mine, v6Port);
            ASSERT_EQ(v6Rows.size(), 1u) << "only the listener; the ::1 pair is left out";
            EXPECT_EQ(v6Rows[0].proto, "TCP6");
            EXPECT_EQ(v6Rows[0].localAddr, "::1");
            EXPECT_EQ(v6Rows[0].remoteAddr, "::");
        }
        // Nothing else: the Unix pair and the test binary's other descriptors add no rows.
        EXPECT_EQ(mine.size(), v4Rows.size() + udpRows.size() + (v6Port != 0 ? 1 : 0));
    }
}

} // namespace
} // namespace korvel
