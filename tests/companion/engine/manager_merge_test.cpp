#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <cstdint>
#include <future>

#include <map>
#include <tuple>

namespace korvel {
namespace {

class ManagerMergeTest : public testing::ManagerFixture {
protected:
    // Sends a refresh now and answers it at once.
    void merge(HelperResponse response) {
        manager->refresh();
        answer(requests.size() - 1, std::move(response));
    }
};

HelperProcessData process(int32_t pid, uint64_t cpuNS) {
    return {pid, "p" + std::to_string(pid), std::nullopt, cpuNS, 4096};
}

TEST_F(ManagerMergeTest, CPUPercentComesFromTwoReadingsAndIsCappedAtAllCores) {
    start();
    answer(0, reading(100.0, {process(1, 0), process(2, 0)}));
    for (const auto& p : manager->processes.get()) {
        EXPECT_EQ(p.cpuPercent, 0) << "first reading of every process";
    }
    merge(reading(101.0, {process(1, 2'000'000'000), process(2, 20'000'000'000), process(3, 5)}));
    std::vector<std::pair<int32_t, double>> cpu;
    for (const auto& p : manager->processes.get()) {
        cpu.emplace_back(p.id, p.cpuPercent);
    }
    EXPECT_EQ(cpu, (std::vector<std::pair<int32_t, double>>{{2, 800.0}, {1, 200.0}, {3, 0}}))
        << "capped at 8 processors";

    // Same timestamp again: every percentage is 0.
    merge(reading(101.0, {process(1, 3'000'000'000)}));
    EXPECT_EQ(manager->processes.get()[0].cpuPercent, 0);
}

TEST_F(ManagerMergeTest, GpuShareAndStorageRatesComeFromTwoReadingsOfTheSameProcess) {
    start();
    const auto gpuProcess = [](int32_t pid, std::vector<HelperGpuEngineData> engines, uint64_t read,
                               uint64_t written) {
        HelperProcessData p = process(pid, 0);
        p.gpuEngines = std::move(engines);
        p.diskReadBytes = read;
        p.diskWriteBytes = written;
        // A container's: its namespace's interfaces moved what it read and wrote.
        p.namespaceBytesIn = read;
        p.namespaceBytesOut = written;
        return p;
    };
    answer(0, reading(100.0, {gpuProcess(1, {{"gfx", 1'000'000'000}}, 0, 1'000'000),
                              gpuProcess(2, {}, 5, 5)}));
    EXPECT_FALSE(manager->processes.get()[0].gpuPercent) << "one reading is no share";
    merge(reading(
        102.0, {gpuProcess(1, {{"gfx", 1'500'000'000}, {"video", 250'000'000}}, 4096, 41'000'000),
                gpuProcess(2, {{"gfx", 9'000'000'000}}, 5, 3)}));
    std::map<int32_t, NetProcess> byPid;
    for (const auto& p : manager->processes.get()) {
        byPid[p.id] = p;
    }
    // gfx 0.5 s and video 0.25 s busy in 2 s.
    EXPECT_NEAR(byPid[1].gpuPercent.value_or(-1), 37.5, 0.1);
    EXPECT_EQ(byPid[1].diskReadRate, 2048.0);
    EXPECT_EQ(byPid[1].diskWriteRate, 20'000'000.0);
    EXPECT_EQ(byPid[1].namespaceRateOut, 20'000'000.0);
    EXPECT_EQ(byPid[2].gpuPercent, 100.0) << "a client first seen counts at most the interval";
    EXPECT_EQ(byPid[2].diskWriteRate, 0.0) << "a counter that fell moved nothing";
    EXPECT_FALSE(byPid[2].namespaceRateIn) << "an interface reset: no rate";
}

// An interpreter's name is its script's, not that of the desktop entry of its file.
TEST_F(ManagerMergeTest, OwnersComeFromTheHelperAppIdsFromDesktopEntriesNamesFromScripts) {
    ManagerEnvironment env = environment();
    env.runningApplications = [](const std::vector<HelperProcessData>&) {
        const RunningApplication viewer{"Viewer", std::nullopt, "org.example.Viewer"};
        return RunningApplicationsByPID{{1, viewer}, {2, viewer}};
    };
    start(env);
    HelperProcessData scoped = process(1, 0);
    scoped.uid = 1000;
    scoped.appId = "org.example.Flat";
    scoped.container = "c0ffee";
    scoped.startTime = 12.5;
    HelperProcessData interpreter = process(2, 0);
    std::tie(interpreter.execPath, interpreter.script) = std::tuple("/usr/bin/python3.11", "a.py");
    answer(0, reading(1.0, {scoped, interpreter, process(3, 0)}));
    std::map<int32_t, NetProcess> byId;
    for (const auto& p : manager->processes.get()) {
        byId[p.id] = p;
    }
    EXPECT_EQ(std::tie(byId[1].uid, byId[1].appId, byId[1].container, byId[1].startTime),
              std::tie(scoped.uid, scoped.appId, scoped.container, scoped.startTime));
    EXPECT_EQ(byId[2].appId, "org.example.Viewer");
    EXPECT_EQ(std::tie(byId[1].name, byId[2].name, byId[2].displayName, byId[2].script),
              std::tuple("Viewer", "python3.11 a.py", "python3.11 a.py", "a.py"));
    EXPECT_FALSE(byId[3].appId);
}

TEST_F(ManagerMergeTest, DataModeDecidesSnapshotPublishingAndHelperAvailability) {
    start();
    EXPECT_FALSE(manager->companionPublishing.get());
    std::vector<bool> publishing;
    manager->companionPublishing.observe([&](const bool& value) { publishing.push_back(value); });

    answer(0, reading(1.0, {}, {{9, "UDP", "0.0.0.0", 53, "", 0, -1}})); // sockets alone count
    EXPECT_EQ(manager->dataMode.get(), DataAcquisitionMode::helperFull);
    EXPECT_TRUE(defaults.boolFor(settings::kHelperAvailable, false));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].connections.size(), 1u);

    merge(reading(2.0)); // the local fallback: nothing from the helper
    EXPECT_EQ(manager->dataMode.get(), DataAcquisitionMode::coreOnly);
    EXPECT_FALSE(defaults.boolFor(settings::kHelperAvailable, true));
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(publishing, (std::vector<bool>{true, false}));
    EXPECT_EQ(manager->connectionCountHistory.get().back(), 0.0);

    // A reply with its own bytes is published as those bytes, whatever the
    // merge took from its rows.
    HelperResponse received =
        reading(3.0, {process(9, 0)}, {{9, "TCP6", "2001:db8::10", 443, "2001:db8::20", 5000, 1}});
    received.source.text = std::make_shared<const std::string>("{\"as\":\"received\"}");
    merge(received);
    EXPECT_EQ(written.back().source.text, received.source.text);
    EXPECT_EQ(manager->processes.get().rows().at(0).connections.at(0).remoteAddr, "2001:db8::20");
}

TEST_F(ManagerMergeTest, AbsentReadingsCarryOverAndCPUTicksCarryToTheNextMerge) {
    start();
    HelperResponse first = reading(1.0, {process(1, 0)});
    first.gpuUsagePercent = 140.0;
    first.cpuTemperatureCelsius = 55.0;
    first.gpuCoreCount = 10;
    answer(0, first);
    merge(reading(2.0, {process(1, 0)}));
    HelperResponse third = reading(3.0, {process(1, 0)});
    third.usedRam = 3;
    third.freeRam = 4;
    third.memPressureLevel = 30;
    merge(third);
    const auto& stats = manager->systemStats.get();
    EXPECT_EQ(std::tie(stats.totalMem, stats.usedMem, stats.freeMem, stats.pressure,
                       stats.coreCount, stats.diskTotal),
              std::make_tuple(uint64_t{1} << 30, 3u, 4u, MemoryPressure::warning, 8, 100u));
    EXPECT_EQ(std::tie(stats.gpuUsagePercent, stats.cpuTemperatureCelsius, stats.gpuCoreCount,
                       stats.gpuTemperatureCelsius),
              std::make_tuple(140.0, 55.0, 10, std::nullopt));
    EXPECT_EQ(manager->gpuHistory.get(), (History{100.0, 100.0, 100.0}));
    EXPECT_EQ(manager->cpuHistory.get().size(), 3u);
    EXPECT_EQ(cpuTicksGiven, (std::vector<std::optional<CPUTicks>>{
                                 std::nullopt, CPUTicks{1, 0, 0, 0}, CPUTicks{2, 0, 0, 0}}));
}

TEST_F(ManagerMergeTest, ClosedSocketsAreRecordedAgainstThePreviousMerge) {
    start();
    HelperConnectionData web{5, "TCP", "10.0.0.2", 50000, "93.184.216.34", 443, 4, 10, 20, 77};
    const HelperConnectionData listener{5, "TCP", "0.0.0.0", 80, "0.0.0.0", 0, 1};
    answer(0, reading(1.0, {process(5, 0)}, {web, listener}));
    EXPECT_TRUE(manager->recentlyClosedByPID.get().empty());
    EXPECT_EQ(manager->connectionCountHistory.get().back(), 1.0);

    merge(reading(2.0, {process(5, 0)}));
    const auto closed = manager->recentlyClosedByPID.get();
    ASSERT_EQ(closed.at(5).size(), 1u);
    EXPECT_EQ(closed.at(5)[0].closedAt, dispatch.now());
    EXPECT_FALSE(closed.at(5)[0].finalBytesOut);

    // The kernel let go of it a reading later; bytes of sockets no reading
    // listed add up as other TCP.
    web.bytesOut = 900;
    for (const double time : {3.0, 4.0}) {
        HelperResponse r = reading(time, {process(5, 0)});
        r.endedConnections = {web};
        r.unattributedTcpBytesIn = 5;
        r.unattributedTcpBytesOut = 7;
        merge(r);
    }
    const ClosedConnection& last = manager->recentlyClosedByPID.get().at(5).at(0);
    EXPECT_EQ(std::tie(last.finalBytesIn, last.finalBytesOut), std::tuple(10u, 900u));
    EXPECT_EQ(manager->processes.get()[0].rateOut, 0.0) << "counted once, at 3.0";
    EXPECT_EQ(manager->frame.get()->otherTcpTotal.bytesOut, 14u);

    dispatch.advance(59.0);
    merge(reading(61.0, {process(5, 0)}));
    EXPECT_EQ(manager->recentlyClosedByPID.get().count(5), 1u);
    dispatch.advance(1.0);
    merge(reading(62.0, {process(5, 0)}));
    EXPECT_EQ(manager->recentlyClosedByPID.get().count(5), 0u);
}

TEST_F(ManagerMergeTest, InterfaceRatesFeedOrderingAndTheTrafficSetting) {
    start();
    HelperResponse first = reading(10.0, {process(1, 0)});
    first.interfaces = {{"docker0", 0, 0}, {"eth0", 1000, 500}, {"wg0", 0, 0}};
    answer(0, first);
    HelperResponse second = reading(12.0, {process(1, 0)});
    second.interfaces = {{"docker0", 50, 0}, {"eth0", 3000, 500}, {"wg0", 10, 0}};
    merge(second);
    const auto& all = manager->allInterfaceStats.get();
    ASSERT_EQ(all.size(), 3u);
    const auto& shown = manager->interfaceStats.get();
    ASSERT_EQ(shown.size(), 2u) << "only monitored families are shown";
    EXPECT_EQ(shown[0].id, "eth0");
    EXPECT_EQ(manager->sessionStats.get().totalInboundBytes, 2010u);

    defaults.setBool(settings::kTrafficEnabled, false);
    merge(second);
    EXPECT_TRUE(manager->interfaceStats.get().empty());
    // The interface came back (or the machine restarted): its counters fell
    // and what it moved counts from zero, never as a wrap.
    HelperResponse third = reading(14.0, {process(1, 0)});
    third.interfaces = {{"eth0", 200, 100}};
    merge(third);
    EXPECT_EQ(manager->frame.get()->interfaces.at(0).used, (ConnectionCounters{200, 100}));
}

// Only replies to the newest request (or to the first) are merged, and merges
// never wait for the settings, which another process may hold.
TEST_F(ManagerMergeTest, StaleRepliesAreDroppedAndSettingsNeverStallTheLoop) {
    korvel::testing::TempDir dir;
    const std::string folder = dir.str() + "/test.domain";
    platform::UserDefaults onDisk{"test.domain", folder + "/defaults.json", dispatch};
    ASSERT_TRUE(onDisk.set(settings::kAutoRefreshInterval, INT64_MAX));
    auto env = environment();
    env.defaults = &onDisk;
    start(env);
    EXPECT_EQ(manager->refreshPeriod(), 3600.0) << "clamped on read";
    EXPECT_EQ(onDisk.integerFor(settings::kAutoRefreshInterval, 0), INT64_MAX) << "stored as is";

    auto held = std::make_unique<platform::defaults::DirectoryLock>(folder);
    const auto answerWithin = [&](size_t i, HelperResponse response) {
        auto done = std::async(std::launch::async, [&] { answer(i, std::move(response)); });
        if (done.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            held.reset();
            FAIL() << "the merge waited for the settings lock";
        }
    };
    const auto withEth0 = [](HelperResponse response, uint64_t bytesIn) {
        response.interfaces = {{"eth0", bytesIn, 0}};
        return response;
    };
    dispatch.advance(2.5); // generations 0, 1 and 2 are open
    answerWithin(2, withEth0(reading(3.0, {process(30, 0)}), 1000));
    ASSERT_EQ(written.size(), 1u);
    answerWithin(1, reading(2.0)); // a timed-out request's fallback, stale
    manager->refresh();
    manager->refresh();
    HelperResponse stale =
        withEth0(reading(4.0, {process(20, 0), process(30, 1'500'000'000)}), 5000);
    stale.gpuUsagePercent = 50.0;
    answerWithin(3, stale); // older than the last request
    EXPECT_EQ(manager->processes.get().size(), 1u);
    EXPECT_EQ(manager->readingsMerged.get(), 1u) << "a stale reply is no merged reading";
    EXPECT_EQ(written.size(), 1u) << "nothing stale is published";
    EXPECT_EQ(removals, 0);
    EXPECT_TRUE(manager->companionPublishing.get());
    EXPECT_EQ(manager->cpuHistory.get().size(), 1u);
    EXPECT_TRUE(manager->gpuHistory.get().empty());
    EXPECT_EQ(manager->connectionCountHistory.get().size(), 1u);
    EXPECT_EQ(cpuTicksGiven.size(), 1u);

    // The next merge measures against the last kept reply, not the stale one.
    answerWithin(4, withEth0(reading(5.0, {process(30, 2'000'000'000)}), 3000));
    EXPECT_DOUBLE_EQ(manager->processes.get()[0].cpuPercent, 100.0);
    EXPECT_EQ(manager->allInterfaceStats.get()[0].rateIn, 1000.0);
    EXPECT_EQ(cpuTicksGiven.back(), (CPUTicks{1, 0, 0, 0}));
    answerWithin(0, reading(1.0, {process(10, 0)})); // generation 0 always merges
    EXPECT_EQ(manager->processes.get()[0].id, 10);
    manager->refresh();
    answerWithin(5, reading(6.0)); // the newest request timed out: the file goes, once
    EXPECT_EQ(removals, 1);

    held.reset();
    dispatch.advance(1.0);
    EXPECT_FALSE(platform::UserDefaults("test.domain", folder + "/defaults.json", dispatch)
                     .boolFor(settings::kHelperAvailable, true))
        << "saved once the lock was free";
    manager.reset(); // before the store it uses
}

} // namespace
} // namespace korvel
