#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "platform/proc/sock_diag.h"

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

// Real descriptors of this test process, closed when the test ends.
struct Descriptors {
    ~Descriptors() {
        for (int fd : fds) {
            ::close(fd);
        }
    }
    int add(int fd) {
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        return fd;
    }
    std::vector<int> fds;
};

TEST(ProcessTableLiveTest, ThisProcessAndItsSocketsAsTheReplyShowsThem) {
    Descriptors open;
    const int listener = open.add(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t size = sizeof v4;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&v4), &size), 0);
    const uint16_t port = ntohs(v4.sin_port);
    // 127.0.0.1 <-> 127.0.0.1 on both sides: left out.
    const int client = open.add(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    open.add(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    // An IPv6 socket reaching the IPv4 listener: its own ends read ::ffff:127.0.0.1
    // (the accepted end is an IPv4 socket on loopback at both ends).
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr), 1);
    const int mapped = open.add(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(mapped, reinterpret_cast<sockaddr*>(&v6), sizeof v6), 0);
    const int accepted = open.add(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    // 1000 bytes out and 300 back, each read by the other end; the reply
    // carries the acknowledgement of the 1000.
    std::string bytes(1000, 'x');
    ASSERT_EQ(::send(mapped, bytes.data(), 1000, 0), 1000);
    ASSERT_EQ(::recv(accepted, bytes.data(), 1000, MSG_WAITALL), 1000);
    ASSERT_EQ(::send(accepted, bytes.data(), 300, 0), 300);
    ASSERT_EQ(::recv(mapped, bytes.data(), 300, MSG_WAITALL), 300);
    size = sizeof v6;
    ASSERT_EQ(::getsockname(mapped, reinterpret_cast<sockaddr*>(&v6), &size), 0);
    // UDP on loopback at both ends is kept.
    const int udp = open.add(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    v4.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    size = sizeof v4;
    ASSERT_EQ(::getsockname(udp, reinterpret_cast<sockaddr*>(&v4), &size), 0);
    ASSERT_EQ(::connect(udp, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    const uint16_t udpPort = ntohs(v4.sin_port);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    open.add(pair[0]);
    open.add(pair[1]);

    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    const std::string exePath(exe, static_cast<size_t>(n));
    const int32_t self = ::getpid();
    // Nothing else: the Unix pair and the test binary's other descriptors add no rows.
    const std::vector<HelperConnectionData> expected{
        {self, "TCP", "127.0.0.1", port, "0.0.0.0", 0, 1},
        {self, "TCP6", "::ffff:127.0.0.1", ntohs(v6.sin6_port), "::ffff:127.0.0.1", port, 4},
        {self, "UDP", "127.0.0.1", udpPort, "127.0.0.1", udpPort, -1}};

    for (const bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "netlink" : "files");
        platform::proc::ProcSourceOptions options;
        options.useNetlink = netlink;
        platform::proc::ProcSource source(options);
        std::vector<HelperConnectionData> connections;
        const auto rows = collectProcessTable(source, true, connections);
        if (netlink && platform::proc::SockDiagSocket().isOpen()) {
            EXPECT_EQ(source.kernelDumpedTables(), 4) << "all four tables from the kernel's dump";
        }

        const auto me = std::find_if(rows.begin(), rows.end(),
                                     [self](const HelperProcessData& r) { return r.pid == self; });
        ASSERT_NE(me, rows.end());
        EXPECT_EQ(me->execPath, exePath);
        EXPECT_EQ(me->name, exePath.substr(exePath.rfind('/') + 1));
        EXPECT_GT(me->memBytes, 1u << 20);
        for (const auto& row : rows) {
            EXPECT_GT(row.pid, 0);
            EXPECT_FALSE(row.name.empty());
        }

        // Only the kernel's TCP dump carries the byte counters.
        std::vector<HelperConnectionData> want = expected;
        if (source.kernelDumpedTables() >= 2) {
            want[0].bytesIn = want[0].bytesOut = 0;
            want[1].bytesIn = 300;
            want[1].bytesOut = 1000;
        }
        std::vector<HelperConnectionData> mine;
        std::copy_if(connections.begin(), connections.end(), std::back_inserter(mine),
                     [self](const HelperConnectionData& row) { return row.pid == self; });
        EXPECT_EQ(mine, want);
        EXPECT_EQ(socketsForPid(source, self), mine);
    }
}

} // namespace
} // namespace korvel
