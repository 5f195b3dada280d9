#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "tests/support/proc_fixture.h"

#include <gtest/gtest.h>

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

    std::vector<std::vector<HelperConnectionData>> results;
    for (unsigned workers : {1U, 2U, 3U, 8U}) {
        platform::proc::ProcSource source(fixture.options());
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

} // namespace
} // namespace korvel
