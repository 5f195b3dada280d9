#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "tests/support/proc_fixture.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using testing::FixtureStat;
using testing::tableEndpoint;
using V4 = std::array<uint8_t, 4>;

std::optional<HelperProcessData> row(const std::vector<HelperProcessData>& rows, int32_t pid) {
    for (const auto& r : rows) {
        if (r.pid == pid) {
            return r;
        }
    }
    return std::nullopt;
}

template <typename Row> std::vector<int32_t> pids(const std::vector<Row>& rows) {
    std::vector<int32_t> out;
    for (const auto& r : rows) {
        out.push_back(r.pid);
    }
    return out;
}

// A machine of a few processes, each holding one TCP listener of its own.
class ProcessTableTest : public ::testing::Test {
protected:
    platform::proc::ProcSourceOptions options() const {
        platform::proc::ProcSourceOptions options;
        options.root = fixture.root();
        options.useNetlink = false;
        options.clockTicksPerSecond = 100;
        options.pageSize = 4096;
        return options;
    }

    void addProcess(int pid, const std::string& exe, const FixtureStat& stat) {
        fixture.addStat(pid, stat);
        if (!exe.empty()) {
            fixture.addExe(pid, exe);
        }
        fixture.addFd(pid, 0, "/dev/null");
        fixture.addSocketFd(pid, 3, 100 + pid);
        fixture.addTableLine("tcp", tableEndpoint(V4{}, 1000 + pid), tableEndpoint(V4{}, 0), "0A",
                             100 + pid);
    }

    std::vector<HelperProcessData> collect(bool showSystem) {
        platform::proc::ProcSource source(options());
        connections.clear();
        return collectProcessTable(source, showSystem, connections);
    }

    testing::ProcFixture fixture;
    std::vector<HelperConnectionData> connections;
};

TEST_F(ProcessTableTest, SystemProcessesGoWithTheirSocketsUnlessAskedFor) {
    addProcess(10, "/usr/libexec/daemon", {"daemon"});
    addProcess(11, "/Applications/X.app/Contents/MacOS/Y", {"Y", 1, 0x400000, 300, 200, 1, 5});
    addProcess(12, "", {"hidden path"}); // exe not readable
    addProcess(13, "/sbin/init", {"init"});
    addProcess(14, "/opt/tool", {"tool"});

    const auto user = collect(false);
    EXPECT_EQ(user.size(), 3u);
    EXPECT_EQ(row(user, 11), (HelperProcessData{11, "X", "/Applications/X.app/Contents/MacOS/Y",
                                                5000000000u, 5u * 4096}))
        << "cpu is user + system ticks in nanoseconds";
    EXPECT_EQ(row(user, 12), (HelperProcessData{12, "hidden path", std::nullopt, 0, 0}));
    EXPECT_EQ(row(user, 14), (HelperProcessData{14, "tool", "/opt/tool", 0, 0}));
    EXPECT_EQ(pids(connections), pids(user)) << "sockets only of the kept, in their order";

    const auto all = collect(true);
    EXPECT_EQ(pids(all), platform::proc::ProcSource(options()).listAllPids()) << "kernel order";
    EXPECT_EQ(pids(connections), pids(all));
    EXPECT_EQ(row(all, 10), (HelperProcessData{10, "daemon", "/usr/libexec/daemon", 0, 0}));
}

TEST_F(ProcessTableTest, UnreadableProcessesAreDroppedOrZeroedAsTheirReadsFail) {
    addProcess(20, "/opt/nostat", {"x"});
    std::filesystem::remove(fixture.path() / "20" / "stat"); // task info fails: zeros
    addProcess(21, "", {""});                                // no path, empty short name
    addProcess(22, "", {"x"});
    std::filesystem::remove(fixture.path() / "22" / "stat"); // neither path nor name
    addProcess(26, "/opt/\xff\xfeweird\xc3", {"weird"});
    addProcess(27, "", {"bad\xe2\x82name"});
    addProcess(28, "/usr/bin/updated (deleted)", {"updated"});

    const auto rows = collect(false);
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(row(rows, 20), (HelperProcessData{20, "nostat", "/opt/nostat", 0, 0}));
    EXPECT_FALSE(row(rows, 21));
    EXPECT_FALSE(row(rows, 22));
    EXPECT_EQ(row(rows, 26), (HelperProcessData{26, bad + bad + "weird" + bad,
                                                "/opt/" + bad + bad + "weird" + bad, 0, 0}));
    EXPECT_EQ(row(rows, 27), (HelperProcessData{27, "bad" + bad + "name", std::nullopt, 0, 0}));
    EXPECT_FALSE(row(rows, 28)) << "a replaced system binary is still a system binary";
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(pids(connections), pids(rows));
}

TEST_F(ProcessTableTest, AProcessGoneBetweenListingAndReadingLeavesNoTrace) {
    addProcess(30, "/opt/stays", {"stays"});
    addProcess(31, "/opt/goes", {"goes", 1, 0x400000, 9, 9, 1, 9});
    platform::proc::ProcSource source(options());
    const auto listed = source.listAllPids();
    ASSERT_EQ(listed.size(), 2u);
    fixture.removePid(31);
    EXPECT_EQ(pids(collectProcessTable(source, listed, false, connections)),
              std::vector<int32_t>{30});
    EXPECT_EQ(pids(connections), std::vector<int32_t>{30});

    auto nowhere = options();
    nowhere.root += "/missing";
    platform::proc::ProcSource empty(nowhere);
    std::vector<HelperConnectionData> none;
    EXPECT_TRUE(collectProcessTable(empty, false, none).empty());
    EXPECT_TRUE(none.empty());
}

TEST_F(ProcessTableTest, SocketRowsFollowDescriptorsThroughTheTables) {
    using testing::mappedV4;
    using testing::v6Loopback;
    fixture.addStat(40, {"net"});
    fixture.addExe(40, "/opt/net");
    const auto socketAt = [&](int fd, const std::string& table, const std::string& local,
                              const std::string& remote, const std::string& state, uint64_t inode) {
        fixture.addSocketFd(40, fd, inode);
        fixture.addTableLine(table, local, remote, state, inode);
    };
    const V4 lo{127, 0, 0, 1};
    socketAt(3, "tcp", tableEndpoint(lo, 8080), tableEndpoint(V4{}, 0), "0A", 201);
    socketAt(4, "tcp", tableEndpoint(lo, 8080), tableEndpoint(V4{127, 0, 0, 2}, 5000), "01", 202);
    socketAt(5, "tcp6", tableEndpoint(v6Loopback(), 9000), tableEndpoint(v6Loopback(), 6000), "01",
             203);
    socketAt(6, "tcp6", tableEndpoint(mappedV4(127, 0, 0, 1), 9001),
             tableEndpoint(mappedV4(127, 0, 0, 1), 8080), "08", 204);
    socketAt(7, "udp", tableEndpoint(lo, 53), tableEndpoint(lo, 5353), "01", 205);
    socketAt(8, "tcp", tableEndpoint(V4{10, 0, 0, 5}, 40000),
             tableEndpoint(V4{93, 184, 216, 34}, 443), "02", 206);
    socketAt(9, "udp6", tableEndpoint(v6Loopback(), 123), tableEndpoint(v6Loopback(), 0), "07",
             207);
    fixture.addSocketFd(40, 10, 999); // a Unix socket: in no table
    fixture.addSocketFd(40, 11, 206); // the same socket through a second descriptor
    fixture.addFd(40, 12, "pipe:[206]");
    // A child that inherited the listener.
    fixture.addStat(41, {"child"});
    fixture.addExe(41, "/opt/child");
    fixture.addSocketFd(41, 5, 201);

    platform::proc::ProcSource source(options());
    EXPECT_EQ(collectProcessTable(source, {40, 41}, false, connections).size(), 2u);
    const std::vector<HelperConnectionData> expected{
        {40, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
        {40, "TCP6", "::ffff:127.0.0.1", 9001, "::ffff:127.0.0.1", 8080, 5},
        {40, "UDP", "127.0.0.1", 53, "127.0.0.1", 5353, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {40, "UDP6", "::1", 123, "::1", 0, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {41, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
    };
    EXPECT_EQ(connections, expected);
    EXPECT_EQ(socketsForPid(source, 41), std::vector<HelperConnectionData>{expected.back()});
    EXPECT_TRUE(socketsForPid(source, 77).empty());
}

} // namespace
} // namespace korvel
