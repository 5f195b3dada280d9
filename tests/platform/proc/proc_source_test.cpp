#include "platform/proc/proc_source.h"
#include "tests/support/proc_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <tuple>

namespace korvel::platform::proc {
namespace {

using testing::FixtureStat;
using testing::ProcFixture;

constexpr uint64_t kKthread = 0x00208040; // PF_KTHREAD among kthreadd's flags

std::vector<int32_t> sorted(std::vector<int32_t> pids) {
    std::sort(pids.begin(), pids.end());
    return pids;
}

TEST(ProcSourceFixtureTest, ListingLeavesOutKernelThreadsAndNonNumericEntries) {
    ProcFixture fixture;
    fixture.addStat(1, {"init", 0});
    fixture.addStat(2, {"kthreadd", 0, kKthread, 0, 0, 0, 0});
    fixture.addStat(3, {"kworker/0:0-events", 2, kKthread, 0, 0, 0, 0});
    fixture.addStat(40, {"old kthread", 2, 0x8040, 0, 0, 0, 0}); // no flag, no memory
    fixture.addStat(41, {"modprobe", 2}); // a user-mode helper kthreadd started: real
    fixture.addStat(50, {"stray", 7, kKthread, 0, 0, 0, 0});
    fixture.addStat(300, {"nostat"});
    std::filesystem::remove(fixture.path() / "300" / "stat"); // cannot tell: listed
    fixture.dir().write("self/stat", "not a process");
    fixture.dir().write("0/stat", "0 (swapper) S 0");
    fixture.dir().write("007x/stat", "");

    ProcSource source(fixture.options());
    EXPECT_EQ(sorted(source.listAllPids()), (std::vector<int32_t>{1, 41, 300}));

    // In a pid namespace pid 2 is an ordinary process; its zombie children
    // (no memory either) are still processes.
    ProcFixture container;
    container.addStat(1, {"sh", 0});
    container.addStat(2, {"server", 1});
    container.addStat(5, {"worker", 2, 0x400044, 3, 1, 0, 0});
    ProcSource namespaced(container.options());
    EXPECT_EQ(sorted(namespaced.listAllPids()), (std::vector<int32_t>{1, 2, 5}));

    auto missing = fixture.options();
    missing.root += "/nowhere";
    ProcSource absent(missing);
    EXPECT_TRUE(absent.listAllPids().empty());
    EXPECT_FALSE(absent.executablePath(1));
    EXPECT_FALSE(absent.shortName(1));
    EXPECT_FALSE(absent.taskInfo(1));
    std::vector<Descriptor> descriptors{{3, true, 9}};
    std::vector<char> directory;
    EXPECT_FALSE(absent.listDescriptors(1, descriptors, directory));
    EXPECT_TRUE(descriptors.empty());
}

// userNS, systemNS, residentBytes, or all -1 when the read fails.
std::tuple<int64_t, int64_t, int64_t> task(ProcSource& source, int32_t pid) {
    const auto info = source.taskInfo(pid);
    return info ? std::make_tuple(int64_t(info->userNS), int64_t(info->systemNS),
                                  int64_t(info->residentBytes))
                : std::make_tuple(-1L, -1L, -1L);
}

TEST(ProcSourceFixtureTest, PerProcessReadsAndTheirFailures) {
    ProcFixture fixture;
    fixture.addStat(100, {"my (odd)) name", 1, 0x400000, 250, 130, 1 << 20, 10});
    fixture.addExe(100, "/opt/tool (deleted)"); // unlinked: the target resolves to nothing
    const auto real = fixture.dir().write("bin/tool (deleted)", "#!");
    fixture.addStat(101, {"tool"});
    fixture.addExe(101, real.string());                        // a file really named so
    fixture.addStat(102, {"zombie", 1, 0x40000c, 7, 0, 0, 0}); // no exe link
    fixture.addExe(103, "/usr/bin/nostat");                    // no stat file
    fixture.addStat(104, {"(deleted)"});
    fixture.addExe(104, " (deleted)"); // nothing left before the suffix: kept whole
    fixture.addStat(200, {"brief", 1, 0x400000, 5, 5, 1 << 20, 3});
    fixture.addExe(200, "/opt/brief");
    fixture.addSocketFd(200, 3, 77);

    ProcSource source(fixture.options());
    EXPECT_EQ(sorted(source.listAllPids()), (std::vector<int32_t>{100, 101, 102, 103, 104, 200}));
    EXPECT_EQ(source.executablePath(100), "/opt/tool");
    EXPECT_EQ(source.executablePath(101), real.string());
    EXPECT_FALSE(source.executablePath(102));
    EXPECT_EQ(source.executablePath(104), " (deleted)");
    EXPECT_FALSE(source.executablePath(999));
    EXPECT_EQ(source.shortName(100), "my (odd)) name");
    EXPECT_EQ(source.shortName(102), "zombie");
    EXPECT_FALSE(source.shortName(103));
    EXPECT_EQ(task(source, 100), std::make_tuple(2500000000L, 1300000000L, 40960L));
    EXPECT_EQ(task(source, 102), std::make_tuple(70000000L, 0L, 0L));
    EXPECT_EQ(task(source, 103), std::make_tuple(-1L, -1L, -1L));
    // Arguments, a rewritten title, a kernel thread's, a cut head, no file.
    using Arguments = std::vector<std::string_view>;
    using namespace std::string_literals;
    fixture.dir().write("100/cmdline", "python3\0-u\0sink.py\0"s);
    fixture.dir().write("101/cmdline", "tool: worker");
    fixture.dir().write("104/cmdline", "");
    fixture.dir().write("200/cmdline", "java\0-jar\0"s + std::string(5000, 'x'));
    EXPECT_EQ(source.commandLine(100), (Arguments{"python3", "-u", "sink.py"}));
    EXPECT_EQ(source.commandLine(101), Arguments{"tool: worker"});
    EXPECT_EQ(source.commandLine(104), Arguments{});
    EXPECT_EQ(source.commandLine(200), (Arguments{"java", "-jar"}));
    EXPECT_FALSE(source.commandLine(102));
    // A stat line that cannot be parsed fails both reads that depend on it.
    fixture.dir().write("105/stat", "105 (broken");
    EXPECT_FALSE(source.shortName(105));
    EXPECT_EQ(task(source, 105), std::make_tuple(-1L, -1L, -1L));

    // Gone after listing: the figures read while listing are all that is left.
    fixture.removePid(200);
    EXPECT_FALSE(source.executablePath(200));
    EXPECT_FALSE(source.shortName(200));
    std::vector<Descriptor> descriptors;
    std::vector<char> directory;
    EXPECT_FALSE(source.listDescriptors(200, descriptors, directory));
    EXPECT_EQ(task(source, 200), std::make_tuple(50000000L, 50000000L, 12288L));
    EXPECT_EQ(sorted(source.listAllPids()), (std::vector<int32_t>{100, 101, 102, 103, 104, 105}));
    EXPECT_EQ(task(source, 200), std::make_tuple(-1L, -1L, -1L));
}

TEST(ProcSourceFixtureTest, DescriptorsAndTheSocketTablesTheyPointInto) {
    ProcFixture fixture;
    fixture.addStat(7, {"server"});
    fixture.addFd(7, 0, "/dev/null");
    fixture.addSocketFd(7, 3, 1001);
    fixture.addFd(7, 4, "pipe:[1002]");
    fixture.addFd(7, 5, "socket:[12x]");
    fixture.addFd(7, 6, "anon_inode:[eventpoll]");
    fixture.addSocketFd(7, 12, 1003);
    fixture.addSocketFd(7, 13, 4242); // a Unix socket: in no table
    fixture.addStat(8, {"nofds"});
    fixture.addTableLine("tcp", testing::tableEndpoint(std::array<uint8_t, 4>{127, 0, 0, 1}, 8080),
                         testing::tableEndpoint(std::array<uint8_t, 4>{}, 0), "0A", 1001);
    fixture.addTableLine("udp6", testing::tableEndpoint(testing::mappedV4(127, 0, 0, 1), 53),
                         testing::tableEndpoint(testing::mappedV4(127, 0, 0, 1), 5000), "01", 1003);

    ProcSource source(fixture.options());
    std::vector<Descriptor> descriptors;
    std::vector<char> directory;
    ASSERT_TRUE(source.listDescriptors(7, descriptors, directory));
    std::vector<std::pair<int32_t, uint64_t>> sockets; // fd, inode (0: not a socket)
    for (const Descriptor& d : descriptors) {
        sockets.emplace_back(d.fd, d.isSocket ? d.socketInode : 0);
    }
    std::sort(sockets.begin(), sockets.end());
    EXPECT_EQ(sockets, (std::vector<std::pair<int32_t, uint64_t>>{
                           {0, 0}, {3, 1001}, {4, 0}, {5, 0}, {6, 0}, {12, 1003}, {13, 4242}}));
    EXPECT_FALSE(source.listDescriptors(8, descriptors, directory)) << "no fd directory at all";

    EXPECT_EQ(source.socketInfo(1001), nullptr) << "tables not loaded yet";
    source.loadSocketTables();
    EXPECT_EQ(source.kernelDumpedTables(), 0);
    EXPECT_EQ(source.socketCount(), 2u);
    ASSERT_NE(source.socketInfo(1001), nullptr);
    EXPECT_EQ(source.socketInfo(1001)->localPort, 8080);
    ASSERT_NE(source.socketInfo(1003), nullptr);
    EXPECT_EQ(source.socketInfo(1003)->transport, Transport::udp) << "read from the udp6 file";
    EXPECT_EQ(source.socketInfo(4242), nullptr);

    // A reload replaces the tables rather than adding to them.
    std::filesystem::remove(fixture.path() / "net" / "udp6");
    source.loadSocketTables();
    EXPECT_EQ(source.socketCount(), 1u);
    EXPECT_EQ(source.socketInfo(1003), nullptr);
}

} // namespace
} // namespace korvel::platform::proc
