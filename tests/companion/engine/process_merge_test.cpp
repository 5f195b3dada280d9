#include "companion/engine/process_merge.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

HelperConnectionData socketRow(int32_t pid, uint16_t localPort, int32_t state = 4) {
    return {pid, "TCP", "10.0.0.2", localPort, "93.184.216.34", 443, state};
}

NetProcess processWith(int32_t pid, std::vector<HelperConnectionData> sockets, double cpu = 0) {
    NetProcess p;
    p.id = pid;
    p.name = p.displayName = "p" + std::to_string(pid);
    p.cpuPercent = cpu;
    for (const auto& s : sockets) {
        p.connections.push_back(makeNetConnection(s));
    }
    return p;
}

TEST(ProcessMergeTest, CPUPercentIsZeroWhenTheClockOrTheCounterWentBack) {
    const ProcessCPUSample previous{1'000'000'000, 100.0};
    EXPECT_DOUBLE_EQ(cpuPercentSince(&previous, 1'500'000'000, 102.0), 25.0);
    EXPECT_EQ(cpuPercentSince(&previous, 3'000'000'000, 99.0), 0); // clock went back
    EXPECT_EQ(cpuPercentSince(&previous, 999'999'999, 101.0), 0);  // pid reused
}

TEST(ProcessMergeTest, DisplayNamePrefersScriptThenApplicationThenFileThenShortName) {
    HelperProcessData p{7, "short", "/usr/lib/firefox/firefox-bin/", 0, 0};
    const RunningApplication app{"Firefox", std::nullopt};
    const RunningApplication unnamed{"", std::nullopt};
    EXPECT_EQ(displayNameFor(p, &app), "Firefox");
    EXPECT_EQ(displayNameFor(p, &unnamed), "firefox-bin");
    p.execPath.reset();
    EXPECT_EQ(displayNameFor(p, nullptr), "short");
    p.script = "sink.py";
    EXPECT_EQ(displayNameFor(p, &app), "short sink.py");
}

TEST(ProcessMergeTest, SortPutsMoreSocketsFirstThenMoreCPUAndKeepsTies) {
    std::vector<NetProcess> list = {
        processWith(1, {socketRow(1, 1), socketRow(1, 2)}, 90),
        processWith(2, {socketRow(2, 1), socketRow(2, 2), socketRow(2, 3)}, 1),
        processWith(3, {}, 5),
        processWith(4, {}, 50),
        processWith(5, {}, 5),
    };
    sortProcesses(list);
    std::vector<int32_t> order;
    for (const auto& p : list) {
        order.push_back(p.id);
    }
    EXPECT_EQ(order, (std::vector<int32_t>{2, 1, 4, 3, 5}));
}

// One process with an established socket on each of `ports`.
std::vector<NetProcess> withPorts(int32_t pid, const std::vector<uint16_t>& ports) {
    std::vector<HelperConnectionData> rows;
    for (const uint16_t port : ports) {
        rows.push_back(socketRow(pid, port));
    }
    return {processWith(pid, rows)};
}

// The local ports of `pid`'s recently closed sockets, newest first.
std::vector<uint16_t> closedPorts(const RecentlyClosedByPID& closed, int32_t pid) {
    std::vector<uint16_t> ports;
    for (const auto& socket :
         closed.contains(pid) ? closed.at(pid) : std::vector<ClosedConnection>{}) {
        ports.push_back(socket.connection.localPort);
    }
    return ports;
}

TEST(ProcessMergeTest, ClosedSocketsSkipListenersAndKeepFiveNewestPerProcess) {
    auto before = withPorts(9, {1, 2, 3, 4, 5, 6});
    before[0].connections.push_back(makeNetConnection(socketRow(9, 80, 1))); // a listener
    auto closed = updateRecentlyClosed({}, before, std::vector<NetProcess>{}, 1000.0);
    ASSERT_EQ(closedPorts(closed, 9), (std::vector<uint16_t>{1, 2, 3, 4, 5})); // detection order
    EXPECT_EQ(closed[9][0].closedAt, 1000.0);
    // A seventh socket closing later goes in front and pushes the oldest out.
    closed = updateRecentlyClosed(closed, withPorts(9, {7}), std::vector<NetProcess>{}, 1010.0);
    EXPECT_EQ(closedPorts(closed, 9), (std::vector<uint16_t>{7, 1, 2, 3, 4}));
}

TEST(ProcessMergeTest, AStateChangeCountsAsClosingAndAVanishedProcessClosesAllButListeners) {
    const std::vector<NetProcess> before = {
        processWith(3, {socketRow(3, 10), socketRow(3, 11)}),
        processWith(4, {socketRow(4, 1), socketRow(4, 2, 1), socketRow(4, 3, 8)})};
    const std::vector<NetProcess> after = {processWith(3, {socketRow(3, 10), socketRow(3, 11, 5)})};
    const auto closed = updateRecentlyClosed({}, before, after, 500.0);
    ASSERT_EQ(closedPorts(closed, 3), std::vector<uint16_t>{11});
    EXPECT_EQ(closed.at(3)[0].connection.state, TCPState::established); // as last seen
    EXPECT_EQ(closedPorts(closed, 4), (std::vector<uint16_t>{1, 3}));
    // The same sockets in another order: none closed.
    EXPECT_EQ(closedPorts(updateRecentlyClosed({}, before, withPorts(3, {11, 10}), 500.0), 3),
              std::vector<uint16_t>{});

    // Between an unchanged head and tail: one replaced socket closes; sockets
    // moved to the front are still open.
    const auto five = withPorts(6, {1, 2, 3, 4, 5});
    EXPECT_EQ(closedPorts(updateRecentlyClosed({}, five, withPorts(6, {1, 2, 9, 4, 5}), 500.0), 6),
              std::vector<uint16_t>{3});
    EXPECT_EQ(closedPorts(updateRecentlyClosed({}, five, withPorts(6, {3, 1, 2, 4, 5}), 500.0), 6),
              std::vector<uint16_t>{});
}

} // namespace
} // namespace korvel
