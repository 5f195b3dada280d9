#include "companion/engine/connection_rates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

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

std::string rates(const std::optional<double>& in, const std::optional<double>& out) {
    auto text = [](const std::optional<double>& r) { return r ? std::to_string(*r) : "-"; };
    return text(in) + "/" + text(out);
}

TEST(ConnectionRatesTest, RatesComeFromTwoReadingsOfTheSameSocketOnly) {
    constexpr uint64_t kNearTop = std::numeric_limits<uint64_t>::max() - 100;
    struct Step {
        const char* what;
        std::vector<Socket> sockets;
        double elapsed;
        std::vector<std::string> connectionRates; // in reading order
        std::string firstProcessRates;
    };
    const std::vector<Step> steps = {
        {"first sight",
         {{7, 1000, 100, 1000}, {7, 1001, 0, 0}, {8, 3000, kNearTop, 0}},
         0,
         {"-/-", "-/-", "-/-"},
         "-/-"},
        {"two sockets add up; a wrapped counter gives no rate",
         {{7, 1000, 300, 5000}, {7, 1001, 50, 0}, {8, 3000, 5, 10}},
         2.0,
         {"100.000000/2000.000000", "25.000000/0.000000", "-/-"},
         "125.000000/2000.000000"},
        {"a counter that went down is a new socket",
         {{7, 1000, 10, 6000}, {7, 1001, 50, 0}},
         1.0,
         {"-/-", "0.000000/0.000000"},
         "0.000000/0.000000"},
        {"the new socket's counters are the base now",
         {{7, 1000, 20, 6100}},
         1.0,
         {"10.000000/100.000000"},
         "10.000000/100.000000"},
        {"no time passed", {{7, 1000, 90, 7000}}, 0, {"-/-"}, "-/-"},
        {"vanished", {{8, 1000, 0, 0}}, 1.0, {"-/-"}, "-/-"},
        {"reappearing is first sight again", {{7, 1000, 900, 9000}}, 1.0, {"-/-"}, "-/-"},
        {"no counters (UDP, older kernel)",
         {{7, 1000, std::nullopt, std::nullopt}},
         1.0,
         {"-/-"},
         "-/-"},
        {"a socket listed twice in one process counts once",
         {{9, 2000, 0, 0}, {9, 2000, 0, 0}},
         1.0,
         {"-/-", "-/-"},
         "-/-"},
        {"listed twice, second reading",
         {{9, 2000, 40, 80}, {9, 2000, 40, 80}},
         2.0,
         {"20.000000/40.000000", "20.000000/40.000000"},
         "20.000000/40.000000"},
    };
    ConnectionCountersByKey counters;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        std::vector<NetProcess> processes = reading(step.sockets);
        counters = applyConnectionRates(processes, counters, step.elapsed);
        std::vector<std::string> got;
        for (const NetProcess& p : processes) {
            for (const NetConnection& c : p.connections) {
                got.push_back(rates(c.rateIn, c.rateOut));
            }
        }
        EXPECT_EQ(got, step.connectionRates);
        EXPECT_EQ(rates(processes[0].rateIn, processes[0].rateOut), step.firstProcessRates);
    }
}

} // namespace
} // namespace korvel
