#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "tests/support/proc_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel {
namespace {

using testing::tableEndpoint;
using V4 = std::array<uint8_t, 4>;

// Many processes, uneven in sockets (none to dozens), some gone or without
// descriptors, in directory order: the walk shared among workers must give
// the rows of the walk on one thread, in the same order.
TEST(SocketWalkTest, WorkersGiveTheOneThreadRowsInPidOrder) {
    testing::ProcFixture fixture;
    uint64_t inode = 1000;
    std::vector<int32_t> pids;
    for (int pid = 300; pid < 380; ++pid) {
        fixture.addStat(pid, {"p" + std::to_string(pid)});
        fixture.addExe(pid, "/opt/p" + std::to_string(pid));
        pids.push_back(pid);
        if (pid % 17 == 0) {
            continue; // no descriptor directory at all
        }
        fixture.addFd(pid, 0, "/dev/null");
        for (int fd = 3; fd < 3 + (pid * 7) % 20; ++fd, ++inode) {
            fixture.addSocketFd(pid, fd, inode);
            fixture.addTableLine(fd % 3 ? "tcp" : "udp", tableEndpoint(V4{10, 0, 0, 1}, fd),
                                 tableEndpoint(V4{10, 0, 0, 2}, pid), "01", inode);
        }
    }
    pids.insert(pids.begin() + 40, 9999); // listed, then gone
    platform::proc::ProcSourceOptions options;
    options.root = fixture.root();
    options.useNetlink = false;

    std::vector<std::vector<HelperConnectionData>> results;
    for (unsigned workers : {1U, 2U, 3U, 8U}) {
        platform::proc::ProcSource source(options);
        // Rows before ours stay first.
        std::vector<HelperConnectionData> connections{{1, "TCP", "", 0, "", 0, -1}};
        const auto rows = collectProcessTable(source, pids, true, {std::nullopt, std::nullopt},
                                              connections, workers);
        EXPECT_EQ(rows.size(), 80u);
        results.push_back(std::move(connections));
    }
    ASSERT_GT(results[0].size(), 500u);
    EXPECT_EQ(results[0].front().pid, 1);
    EXPECT_TRUE(std::is_sorted(results[0].begin(), results[0].end(),
                               [](const auto& a, const auto& b) { return a.pid < b.pid; }));
    for (size_t i = 1; i < results.size(); ++i) {
        EXPECT_EQ(results[i], results[0]) << "walk " << i;
    }
}

// Live: children of this test holding sockets, walked on one source by one
// worker and by several.
TEST(SocketWalkTest, TheLiveWalkMatchesOnAnyNumberOfWorkers) {
    std::vector<pid_t> children;
    size_t sockets = 0;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    for (int i = 0; i < 48; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            // Bound, or the kernel's tables do not list them.
            const sockaddr_in6 v6{AF_INET6, 0, 0, in6addr_loopback, 0};
            const sockaddr_in v4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            for (int s = 0; s < i % 5 + 1; ++s) {
                const bool six = s % 2;
                ::bind(::socket(six ? AF_INET6 : AF_INET, SOCK_DGRAM, 0),
                       six ? reinterpret_cast<const sockaddr*>(&v6)
                           : reinterpret_cast<const sockaddr*>(&v4),
                       six ? sizeof v6 : sizeof v4);
            }
            (void)!::write(ready[1], "x", 1);
            ::pause();
            ::_exit(0);
        }
        ASSERT_GT(child, 0);
        sockets += static_cast<size_t>(i % 5 + 1);
        children.push_back(child);
    }
    ::close(ready[1]);
    char sink[64];
    for (size_t arrived = 0; arrived < children.size();) {
        const ssize_t n = ::read(ready[0], sink, sizeof sink);
        if (n <= 0) {
            break;
        }
        arrived += static_cast<size_t>(n);
    }
    ::close(ready[0]);

    platform::proc::ProcSource source;
    source.loadSocketTables();
    const std::vector<int32_t> pids(children.begin(), children.end());
    std::vector<HelperConnectionData> one, several;
    appendSocketsForPids(source, pids, one, 1);
    appendSocketsForPids(source, pids, several, 4);
    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(one.size(), sockets);
    EXPECT_EQ(several, one);
}

} // namespace
} // namespace korvel
