#include "companion/engine/connection_rates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>

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
                                                {&step.ended, step.unattributed});
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
}

} // namespace
} // namespace korvel
