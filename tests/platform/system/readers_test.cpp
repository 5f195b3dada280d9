#include "platform/system/interface_counters.h"
#include "platform/system/memory_figures.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <tuple>

namespace korvel::platform {
namespace {

void addInterface(const korvel::testing::TempDir& sys, const std::string& name,
                  const std::string& in, const std::string& out) {
    sys.write("class/net/" + name + "/statistics/rx_bytes", in + "\n");
    sys.write("class/net/" + name + "/statistics/tx_bytes", out + "\n");
}

TEST(InterfaceCountersTest, SkipsLoopbackNamesAndUnreadableCountersAndSortsByBytes) {
    korvel::testing::TempDir sys;
    EXPECT_TRUE(readInterfaceCounters(sys.str()).empty()) << "no tree";
    addInterface(sys, "lo", "5", "5");
    addInterface(sys, "lo0", "5", "5");
    addInterface(sys, "loopy", "5", "5");
    addInterface(sys, "en2", "1", "2");
    addInterface(sys, "en10", "3", "4");
    addInterface(sys, "awdl0", "0", "0");
    addInterface(sys, "Wg0", "9", "9");
    addInterface(sys, "eth0", "18446744073709551615", "4294967296");
    addInterface(sys, "eth1", "garbage", "1");
    sys.write("class/net/eth2/statistics/rx_bytes", "7\n"); // tx_bytes missing
    std::vector<std::tuple<std::string, uint64_t, uint64_t>> rows;
    for (const LinkCounters& link : readInterfaceCounters(sys.str())) {
        rows.emplace_back(link.name, link.bytesIn, link.bytesOut);
    }
    // Upper case sorts first byte-wise; the counters are full 64-bit numbers.
    EXPECT_EQ(rows, (decltype(rows){{"Wg0", 9, 9},
                                    {"awdl0", 0, 0},
                                    {"en10", 3, 4},
                                    {"en2", 1, 2},
                                    {"eth0", 18446744073709551615ULL, 4294967296ULL}}));
}

// total, used, free, level
std::tuple<uint64_t, uint64_t, uint64_t, int32_t> figures(const korvel::testing::TempDir& proc) {
    const MemoryFigures m = readMemoryFigures(proc.str());
    return {m.total, m.used, m.free, m.level};
}

TEST(MemoryFiguresTest, MapsMeminfoFieldsToUsedFreeAndLevel) {
    korvel::testing::TempDir proc;
    proc.write("meminfo",
               "MemTotal:       16000000 kB\nMemFree:  1000000 kB\nMemAvailable: 4000000 kB\n"
               "Buffers: 100000 kB\nActive: 6000000 kB\nInactive: 3000000 kB\n"
               "Unevictable: 10000 kB\nKernelStack: 20000 kB\nPageTables: 30000 kB\n"
               "SUnreclaim: 40000 kB\nZswap: 50000 kB\nHugePages_Total: 0\n");
    EXPECT_EQ(figures(proc),
              std::make_tuple(16000000ULL * 1024, 6150000ULL * 1024, 4000000ULL * 1024, 25));
}

TEST(MemoryFiguresTest, UnreadableFiguresFallBackToZeroAndLevel100) {
    korvel::testing::TempDir proc;
    const auto missing = readMemoryFigures(proc.str());
    EXPECT_GT(missing.total, 0u); // still the machine's physical memory
    EXPECT_EQ(missing.used, 0u);
    EXPECT_EQ(missing.free, 0u);
    EXPECT_EQ(missing.level, 100);

    proc.write("meminfo", "MemTotal: 1000 kB\nMemFree: 10 kB\n"); // older kernel: no MemAvailable
    EXPECT_EQ(figures(proc), std::make_tuple(1024000ULL, 0ULL, 10240ULL, 100));
}

} // namespace
} // namespace korvel::platform
