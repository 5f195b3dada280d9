#include "companion/engine/connection_rates.h"
#include "helper/ended_sockets.h"
#include "helper/socket_table.h"
#include "platform/proc/sock_diag.h"
#include "tests/support/proc_fixture.h"
#include "tests/support/sock_diag_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <sys/socket.h>

namespace korvel {
namespace {

struct Socket {
    int32_t pid;
    uint16_t localPort;
    std::optional<uint64_t> bytesIn;
    std::optional<uint64_t> bytesOut;
    std::optional<uint64_t> cookie = std::nullopt;
};

std::vector<NetProcess> reading(const std::vector<Socket>& sockets) {
    std::vector<NetProcess> processes;
    for (const Socket& s : sockets) {
        if (processes.empty() || processes.back().id != s.pid) {
            processes.push_back({});
            processes.back().id = s.pid;
        }
        HelperConnectionData row{s.pid, "TCP6", "::ffff:10.0.0.2", s.localPort, "::ffff:10.0.0.9",
                                 443,   4};
        row.bytesIn = s.bytesIn;
        row.bytesOut = s.bytesOut;
        row.cookie = s.cookie;
        processes.back().connections.push_back(makeNetConnection(row));
    }
    return processes;
}

// "in/out", "-" for an absent rate.
std::string rates(const std::optional<double>& in, const std::optional<double>& out) {
    const auto text = [](const std::optional<double>& rate) {
        std::ostringstream shortest;
        shortest << rate.value_or(0);
        return rate ? shortest.str() : "-";
    };
    return text(in) + "/" + text(out);
}

TEST(ConnectionRatesTest, EveryByteOfASocketCountsOnceFromTwoReadingsOrAFirstSighting) {
    constexpr uint64_t kNearTop = std::numeric_limits<uint64_t>::max() - 100;
    struct Step {
        std::vector<Socket> sockets;
        double elapsed;
        std::string rates; // the first process's, then each socket's in reading order
        bool firstSightingsCount = true;
    };
    const std::vector<Step> steps = {
        {{{7, 1000, 100, 1000}, {7, 1001, 0, 0}, {8, 3000, kNearTop, 0}}, 0, "-/-: -/- -/- -/-"},
        // Two sockets add up; a wrapped counter gives no rate.
        {{{7, 1000, 300, 5000}, {7, 1001, 50, 40}, {8, 3000, 5, 10}},
         2,
         "125/2020: 100/2000 25/20 -/-"},
        // A counter that went down, either one, is a new socket, whose counters are the base now.
        {{{7, 1000, 10, 6000}, {7, 1001, 60, 0}}, 1, "-/-: -/- -/-"},
        {{{7, 1000, 20, 6100}, {7, 1001, 60, 0}}, 1, "10/100: 10/100 0/0"},
        {{{7, 1000, 90, 7000}}, 0, "-/-: -/-"},  // no time passed
        {{{8, 1000, 0, 0}}, 1, "-/-: -/-"},      // vanished
        {{{7, 1000, 900, 9000}}, 1, "-/-: -/-"}, // reappearing is first sight again
        // No counters (UDP, old kernel), or only one.
        {{{7, 1000, std::nullopt, std::nullopt}, {7, 1001, 5, std::nullopt}}, 1, "-/-: -/- -/-"},
        {{{7, 1001, 9, std::nullopt}}, 1, "-/-: -/-"},
        // A socket listed twice in one process counts once.
        {{{9, 2000, 0, 0}, {9, 2000, 0, 0}}, 1, "-/-: -/- -/-"},
        {{{9, 2000, 40, 80}, {9, 2000, 40, 80}}, 2, "20/40: 20/40 20/40"},
        // With cookies: paired by key with a reading that had none; a socket
        // first seen moved all its bytes in the interval.
        {{{9, 2000, 40, 80, 1}}, 1, "0/0: 0/0"},
        {{{9, 2000, 50, 100, 1}, {9, 2001, 1000, 2000, 2}}, 1, "1010/2020: 10/20 1000/2000"},
        // A new connection behind the same addresses and ports, whether its
        // counters are below the old one's or above.
        {{{9, 2000, 5, 7, 3}}, 1, "5/7: 5/7"},
        {{{9, 2000, 500, 700, 4}}, 2, "250/350: 250/350"},
        // Unseen for two readings, then held by another process: counted once.
        {{{10, 2001, 1100, 2500, 2}}, 1, "100/500: 100/500"},
        {{{9, 2002, 9, 9, 5}}, 1, "-/-: -/-", false},
        {{{9, 2002, 19, 29, 5}}, 1, "10/20: 10/20"},
        {{{11, 1, 4, 4, 6}, {11, 1, 4, 4, 6}}, 2, "2/2: 2/2 2/2"},
    };
    ConnectionCounterMemory counters;
    double time = 100;
    for (const Step& step : steps) {
        std::vector<NetProcess> processes = reading(step.sockets);
        time += step.elapsed;
        applyConnectionRates(processes, counters, time, step.firstSightingsCount);
        std::string got = rates(processes[0].rateIn, processes[0].rateOut) + ":";
        for (const NetProcess& p : processes) {
            for (const NetConnection& c : p.connections) {
                got += " " + rates(c.rateIn, c.rateOut);
            }
        }
        EXPECT_EQ(got, step.rates) << "after " << &step - steps.data() << " steps";
    }
}

HelperConnectionData endedRow(int32_t pid, uint16_t localPort, uint64_t in, uint64_t out,
                              uint64_t cookie) {
    HelperConnectionData row{pid, "TCP6", "::ffff:10.0.0.2", localPort, "::ffff:10.0.0.9", 443, 0};
    row.bytesIn = in;
    row.bytesOut = out;
    row.cookie = cookie;
    return row;
}

TEST(ConnectionRatesTest, BytesOfEndedSocketsCountOnceInTheirProcessOrAsOtherTcp) {
    struct Step {
        double time;
        std::vector<Socket> sockets; // all of pid 7
        std::vector<HelperConnectionData> ended;
        ConnectionCounters unattributed;
        std::string rates; // pid 7's, then the other TCP rate
    };
    const std::vector<Step> steps = {
        {100, {{7, 1000, 100, 200, 1}}, {endedRow(7, 1001, 5, 5, 9)}, {1, 1}, "-/- -"},
        // Cookie 2 only ever seen in its end; unattributed bytes are other TCP.
        {101,
         {{7, 1000, 300, 400, 1}},
         {endedRow(7, 1001, 50, 60, 2)},
         {1000, 2000},
         "250/260 1000/2000"},
        // Cookie 1 ended after its last listing, cookie 2 is told again, cookie 3
        // reuses cookie 1's port and is both listed and ended in one reading, and
        // cookie 4's process has gone.
        {103,
         {{7, 1000, 10, 10, 3}},
         {endedRow(7, 1000, 350, 500, 1), endedRow(7, 1001, 50, 60, 2),
          endedRow(7, 1000, 16, 30, 3), endedRow(99, 1002, 7, 9, 4)},
         {},
         "33/65 3.5/4.5"},
        {104, {}, {endedRow(7, 1001, 5, 5, 9)}, {}, "0/0 0/0"},
    };
    ConnectionCounterMemory memory;
    double countedIn = 0;
    double countedOut = 0;
    std::optional<double> before;
    for (const Step& step : steps) {
        std::vector<NetProcess> processes = reading(step.sockets);
        if (processes.empty()) {
            processes.push_back({});
            processes.back().id = 7;
        }
        const auto other = applyConnectionRates(processes, memory, step.time, true,
                                                {&step.ended, step.unattributed})
                               .other;
        EXPECT_EQ(rates(processes[0].rateIn, processes[0].rateOut) + " " +
                      (other ? rates(other->in, other->out) : "-"),
                  step.rates)
            << "at " << step.time;
        if (before && other) {
            countedIn += processes[0].rateIn.value_or(0) * (step.time - *before) +
                         static_cast<double>(other->bytesIn);
            countedOut += processes[0].rateOut.value_or(0) * (step.time - *before) +
                          static_cast<double>(other->bytesOut);
        }
        before = step.time;
    }
    // Every byte moved after the first reading: cookies 1 (from 100/200), 2, 3 and
    // 4, and the unattributed ones; cookie 9 ended before it.
    EXPECT_EQ(countedIn, 250 + 50 + 16 + 7 + 1000);
    EXPECT_EQ(countedOut, 300 + 60 + 30 + 9 + 2000);

    // A helper telling of ever more ended sockets grows the memory no further
    // than its bound: the oldest cookies go, and how many is said.
    memory.mostRemembered = 4;
    std::vector<HelperConnectionData> flood;
    for (uint64_t cookie = 20; cookie < 30; ++cookie) {
        flood.push_back(endedRow(99, 2000, 1, 1, cookie));
    }
    std::vector<NetProcess> none;
    const size_t remembered = memory.byCookie.size();
    EXPECT_EQ(applyConnectionRates(none, memory, 105, true, {&flood, std::nullopt}).forgotten,
              remembered + flood.size() - 4);
    EXPECT_EQ(memory.byCookie.size(), 4u);
}

// A TCP6 socket of ::ffff:10.0.0.2 `port` to ::ffff:10.0.0.9:443 and the
// process whose descriptors hold it (0: none found).
struct WireSocket {
    uint64_t cookie;
    uint16_t port;
    int32_t pid;
    uint64_t in;
    uint64_t out;
};
constexpr uint32_t kInodeBase = 9000;

// Dump rows (a sequence number, an inode) or destroy messages (neither), as
// the kernel writes them: bytes_acked counts the SYN.
std::string netlinkMessages(const std::vector<WireSocket>& sockets, uint32_t sequence) {
    testing::DumpBuffer buffer;
    for (const WireSocket& s : sockets) {
        buffer.socket(sequence, AF_INET6, sequence ? 1 : 7,
                      {static_cast<uint8_t>(s.port >> 8), static_cast<uint8_t>(s.port)},
                      {0x01, 0xBB}, testing::mappedV4(10, 0, 0, 2), testing::mappedV4(10, 0, 0, 9),
                      sequence ? kInodeBase + static_cast<uint32_t>(s.cookie) : 0,
                      testing::tcpInfoAttribute(s.out + 1, s.in), SOCK_DIAG_BY_FAMILY, s.cookie);
    }
    buffer.done(sequence);
    return buffer.bytes();
}

TEST(ConnectionRatesTest, EveryByteOfTheKernelsMessagesCountsOnceThroughHelperAndEngine) {
    using namespace platform::proc;
    EndedSocketLedger ledger;
    EndedSocketsCursor cursor;
    ConnectionCounterMemory memory;
    std::map<int32_t, std::pair<double, double>> counted; // by pid, 0 for other TCP
    std::optional<double> last;
    const auto destroy = [&](const std::vector<WireSocket>& sockets, double at) {
        const std::string bytes = netlinkMessages(sockets, 0);
        std::vector<SocketInfo> ended;
        ASSERT_TRUE(parseSocketDestroyMessages(bytes.data(), bytes.size(), ended));
        ASSERT_EQ(ended.size(), sockets.size());
        for (const SocketInfo& socket : ended) {
            ledger.destroyed(socket, at);
        }
    };
    // A request: the dump at `time`, events heard while the reply is put
    // together, the reply's ended members, then the engine's rates.
    const auto read = [&](const std::vector<WireSocket>& dump, double time,
                          const std::vector<WireSocket>& endedMeanwhile = {}) {
        const std::string bytes = netlinkMessages(dump, 5);
        InetSocketTable table;
        ASSERT_EQ(parseSockDiagMessages(bytes.data(), bytes.size(), 5, Transport::tcp, table),
                  DumpStatus::done);
        table.index();
        if (!last) {
            ledger.listeningBegan(table.records());
        }
        HelperResponse response;
        response.timestamp = time;
        std::vector<NetProcess> processes(2);
        processes[0].id = 7;
        processes[1].id = 8;
        for (const WireSocket& s : dump) {
            const SocketInfo* listed = table.find(kInodeBase + s.cookie);
            ASSERT_NE(listed, nullptr);
            if (s.pid != 0) {
                response.connections.push_back(*connectionRow(*listed, s.pid));
                processes[s.pid == 7 ? 0 : 1].connections.push_back(
                    makeNetConnection(response.connections.back()));
            }
        }
        destroy(endedMeanwhile, time + 0.2);
        ledger.attribute(response.connections, response.timestamp);
        ledger.report(cursor, response);
        EndedTcpSockets ended{&response.endedConnections, std::nullopt};
        if (response.unattributedTcpBytesIn) {
            ended.unattributed = {*response.unattributedTcpBytesIn,
                                  *response.unattributedTcpBytesOut};
        }
        const auto other = applyConnectionRates(processes, memory, time, true, ended).other;
        if (last) {
            ASSERT_TRUE(other);
            for (const NetProcess& p : processes) {
                counted[p.id].first += p.rateIn.value_or(0) * (time - *last);
                counted[p.id].second += p.rateOut.value_or(0) * (time - *last);
            }
            counted[0].first += static_cast<double>(other->bytesIn);
            counted[0].second += static_cast<double>(other->bytesOut);
        }
        last = time;
    };
    // Cookie 6 had moved 40/40 when the listening began, and no process is
    // found holding it.
    read({{1, 5000, 7, 100, 200}, {2, 5001, 8, 10, 20}, {6, 5005, 0, 40, 40}}, 10);
    // Cookie 1 was listed and ends; cookie 3 is seen only in its end.
    destroy({{1, 5000, 0, 150, 260}, {3, 5002, 0, 1000, 2000}, {6, 5005, 0, 100, 100}}, 10.5);
    // Cookie 4 reuses cookie 1's port; cookie 5 ends while its dump is read.
    read({{2, 5001, 8, 50, 70}, {4, 5000, 7, 30, 40}, {5, 5003, 8, 5, 5}}, 11,
         {{5, 5003, 0, 9, 9}});
    destroy({{4, 5000, 0, 80, 90}}, 11.5);
    read({{2, 5001, 8, 60, 75}}, 12);

    std::string got;
    for (const auto& [pid, bytes] : counted) {
        got += std::to_string(pid) + ": " + std::to_string(std::lround(bytes.first)) + "/" +
               std::to_string(std::lround(bytes.second)) + " ";
    }
    // What each socket moved after the first reading: cookies 1 and 4 for pid
    // 7, 2 and 5 for pid 8, 3 and 6 (since 40/40) as other TCP.
    EXPECT_EQ(got, "0: 1060/2060 7: 130/150 8: 59/64 ");
}

} // namespace
} // namespace korvel
