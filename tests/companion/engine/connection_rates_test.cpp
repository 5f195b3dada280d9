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

TEST(ConnectionRatesTest, RatesComeFromTwoReadingsOfTheSameSocketOnly) {
    constexpr uint64_t kNearTop = std::numeric_limits<uint64_t>::max() - 100;
    struct Step {
        std::vector<Socket> sockets;
        double elapsed;
        std::string rates; // the first process's, then each socket's in reading order
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
    };
    ConnectionCountersByKey counters;
    for (const Step& step : steps) {
        std::vector<NetProcess> processes = reading(step.sockets);
        counters = applyConnectionRates(processes, counters, step.elapsed);
        std::string got = rates(processes[0].rateIn, processes[0].rateOut) + ":";
        for (const NetProcess& p : processes) {
            for (const NetConnection& c : p.connections) {
                got += " " + rates(c.rateIn, c.rateOut);
            }
        }
        EXPECT_EQ(got, step.rates) << "after " << &step - steps.data() << " steps";
    }
}

} // namespace
} // namespace korvel
