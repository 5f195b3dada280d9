#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "tests/support/proc_fixture.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using testing::FixtureStat;
using testing::ProcFixture;
using testing::tableEndpoint;
using V4 = std::array<uint8_t, 4>;

platform::proc::ProcSourceOptions fixtureOptions(const ProcFixture& fixture) {
    platform::proc::ProcSourceOptions options;
    options.root = fixture.root();
    options.useNetlink = false;
    options.clockTicksPerSecond = 100;
    options.pageSize = 4096;
    return options;
}

const HelperProcessData* find(const std::vector<HelperProcessData>& rows, int32_t pid) {
    for (const auto& row : rows) {
        if (row.pid == pid) {
            return &row;
        }
    }
    return nullptr;
}

std::vector<int32_t> socketPids(const std::vector<HelperConnectionData>& rows) {
    std::vector<int32_t> pids;
    for (const auto& row : rows) {
        pids.push_back(row.pid);
    }
    return pids;
}

// A machine of a few processes, each holding one TCP listener of its own.
class ProcessTableTest : public ::testing::Test {
protected:
    void addProcess(int pid, const std::string& exe, const FixtureStat& stat, uint64_t inode) {
        fixture.addStat(pid, stat);
        if (!exe.empty()) {
            fixture.addExe(pid, exe);
        }
        fixture.addFd(pid, 0, "/dev/null");
        fixture.addSocketFd(pid, 3, inode);
        fixture.addTableLine("tcp", tableEndpoint(V4{0, 0, 0, 0}, 1000 + pid),
                             tableEndpoint(V4{0, 0, 0, 0}, 0), "0A", inode);
    }

    std::vector<HelperProcessData> collect(bool showSystem,
                                           std::vector<HelperConnectionData>& connections) {
        platform::proc::ProcSource source(fixtureOptions(fixture));
        return collectProcessTable(source, showSystem, connections);
    }

    ProcFixture fixture;
};

TEST_F(ProcessTableTest, SystemProcessesGoWithTheirSocketsUnlessAskedFor) {
    addProcess(10, "/usr/libexec/daemon", {"daemon"}, 110);
    addProcess(11, "/Applications/X.app/Contents/MacOS/Y", {"Y", 1, 0x400000, 300, 200, 1, 5}, 111);
    addProcess(12, "", {"hidden path", 1, 0x400000, 1, 1, 1, 1}, 112); // exe not readable
    addProcess(13, "/sbin/init", {"init"}, 113);
    addProcess(14, "/opt/tool", {"tool"}, 114);

    std::vector<HelperConnectionData> userConnections;
    const auto user = collect(false, userConnections);
    ASSERT_EQ(user.size(), 3u);
    EXPECT_EQ(find(user, 10), nullptr);
    EXPECT_EQ(find(user, 13), nullptr);
    const HelperProcessData* bundle = find(user, 11);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->name, "X");
    EXPECT_EQ(bundle->execPath, "/Applications/X.app/Contents/MacOS/Y");
    EXPECT_EQ(bundle->cpuNS, 5000000000u) << "user + system ticks, in nanoseconds";
    EXPECT_EQ(bundle->memBytes, 5u * 4096);
    const HelperProcessData* noPath = find(user, 12);
    ASSERT_NE(noPath, nullptr);
    EXPECT_EQ(noPath->name, "hidden path");
    EXPECT_FALSE(noPath->execPath);
    EXPECT_EQ(find(user, 14)->name, "tool");
    std::vector<int32_t> kept;
    for (const auto& row : user) {
        kept.push_back(row.pid);
    }
    EXPECT_EQ(socketPids(userConnections), kept) << "sockets only of the kept, in their order";

    std::vector<HelperConnectionData> allConnections;
    const auto all = collect(true, allConnections);
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(allConnections.size(), 5u);
    ASSERT_NE(find(all, 10), nullptr);
    EXPECT_EQ(find(all, 10)->name, "daemon");
    platform::proc::ProcSource source(fixtureOptions(fixture));
    const auto listed = source.listAllPids();
    ASSERT_EQ(listed.size(), all.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(all[i].pid, listed[i]) << "kernel order";
        EXPECT_EQ(allConnections[i].pid, listed[i]);
        EXPECT_EQ(allConnections[i].localPort, 1000 + listed[i]);
    }
}

TEST_F(ProcessTableTest, UnreadableProcessesAreDroppedOrZeroedAsTheirReadsFail) {
    addProcess(20, "/opt/nostat", {"x"}, 120);
    std::filesystem::remove(fixture.path() / "20" / "stat"); // task info fails: zeros
    addProcess(21, "", {""}, 121);                           // no path, empty short name
    addProcess(22, "", {"x"}, 122);
    std::filesystem::remove(fixture.path() / "22" / "stat"); // neither path nor name
    addProcess(23, "/opt/odd", {"my (odd) name) x"}, 123);
    addProcess(24, "", {"(sd-pam) x"}, 124);
    addProcess(25, "/opt/tool (deleted)", {"tool"}, 125);
    addProcess(26, "/opt/\xff\xfeweird\xc3", {"weird"}, 126);
    addProcess(27, "", {"bad\xe2\x82name"}, 127);
    addProcess(28, "/usr/bin/updated (deleted)", {"updated"}, 128);

    std::vector<HelperConnectionData> connections;
    const auto rows = collect(false, connections);
    const HelperProcessData* zeroed = find(rows, 20);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(zeroed->cpuNS, 0u);
    EXPECT_EQ(zeroed->memBytes, 0u);
    EXPECT_EQ(zeroed->name, "nostat");
    EXPECT_EQ(find(rows, 21), nullptr);
    EXPECT_EQ(find(rows, 22), nullptr);
    EXPECT_EQ(find(rows, 23)->name, "odd");
    ASSERT_NE(find(rows, 24), nullptr);
    EXPECT_EQ(find(rows, 24)->name, "(sd-pam) x");
    const HelperProcessData* deleted = find(rows, 25);
    ASSERT_NE(deleted, nullptr);
    EXPECT_EQ(deleted->execPath, "/opt/tool");
    EXPECT_EQ(deleted->name, "tool");
    const HelperProcessData* weird = find(rows, 26);
    ASSERT_NE(weird, nullptr);
    EXPECT_EQ(weird->execPath, "/opt/\xEF\xBF\xBD\xEF\xBF\xBDweird\xEF\xBF\xBD");
    EXPECT_EQ(weird->name, "\xEF\xBF\xBD\xEF\xBF\xBDweird\xEF\xBF\xBD");
    EXPECT_EQ(find(rows, 27)->name, "bad\xEF\xBF\xBDname");
    EXPECT_EQ(find(rows, 28), nullptr) << "a replaced system binary is still a system binary";
    std::vector<int32_t> kept;
    for (const auto& row : rows) {
        kept.push_back(row.pid);
    }
    EXPECT_EQ(rows.size(), 6u);
    EXPECT_EQ(socketPids(connections), kept);
}

TEST_F(ProcessTableTest, AProcessGoneBetweenListingAndReadingLeavesNoTrace) {
    addProcess(30, "/opt/stays", {"stays"}, 130);
    addProcess(31, "/opt/goes", {"goes", 1, 0x400000, 9, 9, 1, 9}, 131);
    platform::proc::ProcSource source(fixtureOptions(fixture));
    const auto pids = source.listAllPids();
    ASSERT_EQ(pids.size(), 2u);
    fixture.removePid(31);
    std::vector<HelperConnectionData> connections;
    const auto rows = collectProcessTable(source, pids, false, connections);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].pid, 30);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].pid, 30);

    platform::proc::ProcSourceOptions nowhere = fixtureOptions(fixture);
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

    platform::proc::ProcSource source(fixtureOptions(fixture));
    std::vector<HelperConnectionData> connections;
    const auto rows = collectProcessTable(source, {40, 41}, false, connections);
    ASSERT_EQ(rows.size(), 2u);

    struct Expected {
        int32_t pid;
        const char* proto;
        const char* local;
        uint16_t localPort;
        const char* remote;
        uint16_t remotePort;
        int32_t state;
    };
    const std::vector<Expected> expected{
        {40, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
        {40, "TCP6", "::ffff:127.0.0.1", 9001, "::ffff:127.0.0.1", 8080, 5},
        {40, "UDP", "127.0.0.1", 53, "127.0.0.1", 5353, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {40, "UDP6", "::1", 123, "::1", 0, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {41, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
    };
    ASSERT_EQ(connections.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(connections[i].pid, expected[i].pid);
        EXPECT_EQ(connections[i].proto, expected[i].proto);
        EXPECT_EQ(connections[i].localAddr, expected[i].local);
        EXPECT_EQ(connections[i].localPort, expected[i].localPort);
        EXPECT_EQ(connections[i].remoteAddr, expected[i].remote);
        EXPECT_EQ(connections[i].remotePort, expected[i].remotePort);
        EXPECT_EQ(connections[i].tcpStateRaw, expected[i].state);
    }
    EXPECT_EQ(socketsForPid(source, 41), std::vector<HelperConnectionData>{connections.back()});
    EXPECT_TRUE(socketsForPid(source, 77).empty());
}

} // namespace
} // namespace korvel
