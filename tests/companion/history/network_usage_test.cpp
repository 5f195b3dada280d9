#include "companion/archive/history_location.h"
#include "companion/history/history_store.h"
#include "companion/history/plan_watch.h"
#include "companion/history/usage_command.h"
#include "companion/usage/network_account.h"
#include "platform/clock/absolute_time.h"
#include "platform/defaults/user_defaults.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace korvel::history {
namespace {

constexpr int64_t kStart = 1798761600; // 2027-01-01 00:00 UTC, a Friday
constexpr uint64_t kMB = 1000 * 1000;

NetworkAttachment attachment(const char* interface, const char* uuid, const char* name) {
    return {interface, uuid, name, uuid, name, "192.0.2.1", false};
}

NetProcess sender(int32_t pid, const char* name, ConnectionCounters overNetwork,
                  ConnectionCounters overLoopback = {}) {
    NetProcess p;
    p.id = pid;
    p.name = name;
    p.startTime = 1000.0 + pid;
    NetConnection out;
    out.remoteAddr = "198.51.100.7";
    out.remotePort = 443;
    out.used = overNetwork;
    NetConnection local;
    local.remoteAddr = "127.0.0.1";
    local.remotePort = 6379;
    local.used = overLoopback;
    p.connections = {out, local};
    p.bytesUsed = overNetwork;
    p.bytesUsed += overLoopback;
    return p;
}

// One frame: the interfaces' bytes since the last, the networks they were on.
ReadingFrame frame(int64_t unixTime, std::vector<InterfaceStat> interfaces,
                   std::vector<NetworkAttachment> networks, std::vector<NetProcess> processes) {
    ReadingFrame f;
    f.time = static_cast<double>(unixTime) - platform::kUnixToAbsoluteTimeOffset;
    f.helperFull = true;
    f.interfaces = std::move(interfaces);
    f.networks = std::move(networks);
    f.processes = std::move(processes);
    return f;
}

InterfaceStat moved(const char* name, ConnectionCounters used) {
    InterfaceStat row;
    row.id = name;
    row.used = used;
    return row;
}

const NetworkSample* sampleOf(const HistoryReading& reading, const std::string& key) {
    for (const auto& sample : reading.networks) {
        if (sample.network.key == key) {
            return &sample;
        }
    }
    return nullptr;
}

// Frames the recorder left out still count, each on the network it came
// over; a process's share follows the network's, loopback stays home, and
// the processes never outgrow what the interfaces carried.
TEST(NetworkUsageTest, EachFrameGoesToItsNetworkAndProcessesShareWhatItCarried) {
    const auto home = attachment("wlan0", "uuid-home", "Home");
    const auto phone = attachment("wlan0", "uuid-phone", "Phone");
    FrameUse use;
    use.add(frame(kStart, {moved("wlan0", {1000, 100}), moved("lo", {50, 50})}, {home},
                  {sender(10, "browser", {800, 80}, {40, 40})}));
    // The laptop moves to the hotspot: the same interface is another network now.
    const ReadingFrame last =
        frame(kStart + 5, {moved("wlan0", {2000, 200})}, {phone},
              {sender(10, "browser", {3000, 300}), sender(11, "updater", {1000, 100})});
    use.add(last);
    const HistoryReading reading = use.reading(last, {});
    const NetworkSample* atHome = sampleOf(reading, "uuid-home");
    const NetworkSample* onPhone = sampleOf(reading, "uuid-phone");
    ASSERT_TRUE(atHome && onPhone);
    EXPECT_EQ(atHome->used, (ConnectionCounters{1000, 100})) << "lo is on no network";
    EXPECT_EQ(onPhone->used, (ConnectionCounters{2000, 200}));
    ASSERT_EQ(atHome->processes.size(), 1u);
    EXPECT_EQ(atHome->processes[0].second, (ConnectionCounters{800, 80}))
        << "the loopback socket's bytes are left out";
    // On the hotspot the two sent 4,000 where the interface carried 2,000.
    ConnectionCounters shared;
    for (const auto& [index, used] : onPhone->processes) {
        shared += used;
        EXPECT_EQ(reading.processes[index].name, used.bytesIn == 1500 ? "browser" : "updater");
    }
    EXPECT_EQ(shared, (ConnectionCounters{2000, 200}));
}

class RecordedNetworks : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        auto db = openHistoryForWriting(place, error, [](const std::string&) {});
        ASSERT_TRUE(db) << error;
        store = std::make_unique<HistoryStore>(std::move(*db));
    }

    // Every 60 s from `from` for `minutes`: `perMinute` over the network,
    // half of it by one app.
    void feed(const NetworkAttachment& network, int64_t from, int minutes, uint64_t perMinute) {
        for (int i = 0; i < minutes; ++i) {
            const int64_t t = from + 60 * i;
            FrameUse use;
            const ReadingFrame f =
                frame(t, {moved(network.interface.c_str(), {perMinute, perMinute / 10})}, {network},
                      {sender(20, "fetcher", {perMinute / 2, perMinute / 20})});
            use.add(f);
            ASSERT_EQ(store->record(use.reading(f, {}), limits), 0);
        }
    }

    korvel::testing::TempDir dir;
    HistoryPlace place{dir.str(), "korvel"};
    HistoryLimits limits;
    std::unique_ptr<HistoryStore> store;
};

TEST_F(RecordedNetworks, SpansCountWholeHoursAndTheMinutesAtTheirEdges) {
    const auto home = attachment("eth0", "uuid-home", "Home");
    feed(home, kStart, 180, 10 * kMB); // three hours, 1.8 GB in
    usage::NetworkUsage usage(store->database());
    const auto networks = usage.networks();
    ASSERT_EQ(networks.size(), 1u);
    EXPECT_EQ(networks[0].name, "Home");
    EXPECT_EQ(networks[0].ssid, "Home");
    const int64_t id = networks[0].id;
    EXPECT_EQ(usage.total(id, {kStart, kStart + 3 * 3600}).bytesIn, 1800 * kMB);
    // From 00:30 to 02:15: half an hour, an hour, a quarter.
    EXPECT_EQ(usage.total(id, {kStart + 1800, kStart + 2 * 3600 + 900}).bytesIn, 1050 * kMB);
    EXPECT_EQ(usage.total(id, {kStart + 600, kStart + 1200}).bytesIn, 100 * kMB);
    const auto processes = usage.processes(id, {kStart, kStart + 3 * 3600});
    ASSERT_EQ(processes.size(), 1u);
    EXPECT_EQ(processes[0].name, "fetcher");
    EXPECT_EQ(processes[0].used.bytesIn, 900 * kMB);
}

TEST_F(RecordedNetworks, APlanWarnsOnceAtItsShareAndOnceAtItsCapEachCycle) {
    const auto phone = attachment("wwan0", "uuid-phone", "Phone");
    const std::vector<usage::DataPlan> plans = {
        {"Phone", 250 * kMB, 1, 80, usage::CountedDirection::in}};
    std::vector<Notice> told;
    const std::string prom = dir.str() + "/prom";
    std::filesystem::create_directory(prom);
    PlanWatch watch({[&](const Notice& n) { told.push_back(n); }, [&] { return prom; }});
    const auto step = [&](int64_t at, int minutes) {
        feed(phone, at, minutes, 10 * kMB);
        watch.afterWrite(store->database(), plans, at + 60 * minutes);
    };
    step(kStart, 19); // 190 MB: under the warning
    EXPECT_TRUE(told.empty());
    step(kStart + 19 * 60, 1); // 200 MB
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].summary, "Phone has used 80 % of its data plan");
    EXPECT_EQ(told[0].body,
              "200.0 MB of 250.0 MB used this cycle. Most used by fetcher (110.0 MB).");
    step(kStart + 20 * 60, 3);
    EXPECT_EQ(told.size(), 1u) << "told once";
    // A restart remembers what was told; the cap is news.
    PlanWatch restarted({[&](const Notice& n) { told.push_back(n); }, {}});
    feed(phone, kStart + 23 * 60, 3, 10 * kMB);
    restarted.afterWrite(store->database(), plans, kStart + 26 * 60);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1].summary, "Phone has reached its data plan");
    restarted.afterWrite(store->database(), plans, kStart + 27 * 60);
    EXPECT_EQ(told.size(), 2u);
    // The next month is a new cycle: a reading that crosses both tells the cap alone.
    const int64_t february = kStart + 31 * 86400 + 7200;
    feed(phone, february, 1, 300 * kMB);
    restarted.afterWrite(store->database(), plans, february + 60);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[2].summary, "Phone has reached its data plan");
    // A clock set back into January finds that cycle told already.
    restarted.afterWrite(store->database(), plans, kStart + 3600);
    EXPECT_EQ(told.size(), 3u);
    // An app moving more than 100 MB in 10 minutes over the networks, told once a window.
    PlanWatch apps({[&](const Notice& n) { told.push_back(n); }, {}});
    const AppAlert surge{100 * kMB, 600};
    const auto minuteOf = [&](int64_t t, uint64_t megabytes) {
        FrameUse use;
        const ReadingFrame f = frame(t, {moved("wwan0", {megabytes * kMB, 0})}, {phone},
                                     {sender(20, "fetcher", {megabytes * kMB, 0})});
        use.add(f);
        apps.noteReading(use.reading(f, {}), surge);
    };
    minuteOf(february, 60);
    minuteOf(february + 300, 30);
    minuteOf(february + 660, 30); // the first has left the window
    EXPECT_EQ(told.size(), 3u);
    minuteOf(february + 700, 50);
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[3].summary, "fetcher moved 110.0 MB in 10 minutes");
    minuteOf(february + 760, 50);
    EXPECT_EQ(told.size(), 4u);

    std::ifstream series(prom + "/" + kUsageTextfileName);
    std::stringstream text;
    text << series.rdbuf();
    EXPECT_NE(text.str().find(
                  "korvel_network_cycle_bytes{network=\"Phone\",direction=\"in\"} 230000000\n"),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("korvel_network_plan_bytes{network=\"Phone\"} 250000000"),
              std::string::npos);
}

struct CommandRun {
    int status;
    std::string out, err;
};

CommandRun usageCommand(std::vector<std::string_view> args) {
    std::ostringstream out, err;
    const int status = runUsageCommand(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(UsageCommandTest, AnswersPerNetworkWithAppsAddingUpAndSaysWhenNothingIsRecorded) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    korvel::testing::ScopedEnv config("XDG_CONFIG_HOME", dir.str() + "/config");
    const auto empty = usageCommand({"--json"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(nlohmann::json::parse(empty.out)["networks"].size(), 0u);
    EXPECT_NE(empty.err.find("nothing is recorded yet"), std::string::npos);
    EXPECT_EQ(usageCommand({"--by", "week"}).status, 2);
    EXPECT_EQ(usageCommand({"--cycle", "--month"}).status, 2);

    const auto place = historyPlace();
    ASSERT_TRUE(place);
    std::string error;
    auto db = openHistoryForWriting(*place, error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    HistoryStore store(std::move(*db));
    const int64_t now = std::time(nullptr);
    for (int i = 0; i < 3; ++i) {
        FrameUse use;
        const ReadingFrame f =
            frame(now - 300 + 60 * i, {moved("eth0", {1000, 100})},
                  {attachment("eth0", "uuid-home", "Home")}, {sender(20, "fetcher", {600, 60})});
        use.add(f);
        ASSERT_EQ(store.record(use.reading(f, {}), HistoryLimits{}), 0);
    }
    const auto answer = usageCommand({"--network", "uuid-home", "--json"});
    ASSERT_EQ(answer.status, 0) << answer.err;
    const auto home = nlohmann::json::parse(answer.out)["networks"].at(0);
    EXPECT_EQ(home["network"], "Home");
    EXPECT_EQ(home["bytesIn"], 3000);
    EXPECT_EQ(home["plan"], nullptr);
    ASSERT_EQ(home["apps"].size(), 2u);
    EXPECT_EQ(home["apps"][0]["app"], "fetcher");
    EXPECT_EQ(home["apps"][0]["bytesIn"], 1800);
    EXPECT_EQ(home["apps"][1]["app"], "other");
    EXPECT_EQ(home["apps"][1]["bytesIn"], 1200) << "the apps add up to the network";
    const auto unknown = usageCommand({"--network", "Office"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_NE(unknown.err.find("no network named 'Office'"), std::string::npos);
    EXPECT_NE(usageCommand({"--by", "day", "--csv"}).out.find("Home,uuid-home,day,"),
              std::string::npos);
}

} // namespace
} // namespace korvel::history
