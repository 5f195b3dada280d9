#include "companion/archive/history_location.h"
#include "companion/archive/history_schema.h"
#include "companion/archive/history_time.h"
#include "companion/export/process_group_counters.h"
#include "companion/history/history_command.h"
#include "companion/history/history_recorder.h"
#include "companion/history/history_store.h"
#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <ctime>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace korvel::history {
namespace {

struct CommandRun {
    int status;
    std::string out, err;
};

CommandRun history(std::vector<std::string_view> args) {
    std::ostringstream out, err;
    const int status = runHistoryCommand(args, out, err);
    return {status, out.str(), err.str()};
}

// One series of an OpenMetrics text: (value, time) per sample, in order.
std::vector<std::pair<double, double>> samplesOf(const std::string& text,
                                                 const std::string& series) {
    std::vector<std::pair<double, double>> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(series + ' ')) {
            std::istringstream fields(line.substr(series.size()));
            samples.emplace_back(0, 0);
            fields >> samples.back().first >> samples.back().second;
        }
    }
    return samples;
}

class RecordedHistoryTest : public korvel::testing::ManagerFixture {};

// What the engine merged reaches the command through the recorder's queue.
TEST_F(RecordedHistoryTest, TopTalkersConnectionsAndInterfacesOfWhatTheEngineMerged) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    EXPECT_EQ(history({}).status, 1) << "nothing recorded yet";
    start();
    defaults.setBool(settings::kResolveHostnames, false); // no name then, and no lookups
    HistoryRecorder recorder(manager, historyPlace(), dispatch, defaults);
    // A sender at 2 MB/s whose last 5 s arrive as its socket's end after it
    // exited at 120 s, and an idle neighbour.
    const HelperProcessData idle{7, "idle", std::nullopt, 0, 6 << 20};
    HelperProcessData sender{42, "send", "/bin/send\x1b[2J", 0, 5 << 20};
    HelperConnectionData socket{42, "TCP", "10.0.0.2", 5000, "198.51.100.9", 443, 1, 0, 0, 99};
    for (uint64_t second = 0; second <= 130; second += 5) {
        std::tie(sender.cpuNS, socket.bytesOut) =
            std::tuple(second * 20'000'000, second * 2'000'000);
        HelperResponse r = second < 120 ? reading(dispatch.now(), {idle, sender}, {socket})
                                        : reading(dispatch.now(), {idle});
        if (second == 120) {
            r.endedConnections = {socket};
        }
        r.interfaces = {{"eth0", 0, second * 1000}};
        answer(requests.size() - 1, r);
        dispatch.advance(5);
        manager->refresh();
        defaults.setBool(settings::kHistoryEnabled, second < 125);
    }
    // The readings lie at the start of 2024 on the virtual clock.
    const auto history = [](std::vector<std::string_view> args) {
        args.insert(args.end(), {"--since", "2023-12-31 00:00", "--until", "2024-01-02 12:00"});
        return history::history(args);
    };
    const CommandRun top = history({"--top", "5", "--by", "out", "--csv"});
    EXPECT_EQ(
        top.out,
        "name,processes,cpu_seconds,peak_rss,bytes_in,bytes_out,gpu_seconds,disk_read,disk_write\n"
        "send\x1b[2J (42),1,2.3,5242880,0,240000000,0.0,0,0\n")
        << "idle sent nothing: no row in its place";
    // Nothing came in: no form lists a group for it.
    EXPECT_EQ(history({"--top", "5", "--by", "in", "--json"}).out, "[]\n");
    EXPECT_EQ(history({"--top", "5", "--by", "in", "--openmetrics"}).out.find("process="),
              std::string::npos);
    EXPECT_TRUE(history({"--top", "1", "--by", "memory", "--csv"})
                    .out.ends_with("\nidle (7),1,0.0,6291456,0,0,0.0,0,0\n"));
    const CommandRun table = history({"--by", "out"});
    EXPECT_NE(table.out.find("send\\x1b[2J (42)"), std::string::npos) << "escaped: " << table.out;
    EXPECT_NE(table.out.find("240.0 MB"), std::string::npos) << table.out;

    const auto json =
        nlohmann::json::parse(history({"--connections", "--process", "send\x1b[2J", "--json"}).out);
    ASSERT_EQ(json.size(), 1u);
    const int64_t firstSeen = json[0]["first_seen"];
    EXPECT_EQ(json[0], (nlohmann::json{{"process", "send\x1b[2J"},
                                       {"pid", 42},
                                       {"protocol", "TCP"},
                                       {"remote", "198.51.100.9"},
                                       {"port", 443},
                                       {"host", nullptr},
                                       {"first_seen", firstSeen},
                                       {"last_seen", firstSeen + 115},
                                       {"bytes_in", 0},
                                       {"bytes_out", 240000000}}));
    EXPECT_EQ(history({"--connections", "--process", "43", "--json"}).out, "[]\n");
    // Minute by minute, the counters adding up to the report's figures.
    const std::string metrics = history({"--top", "1", "--by", "out", "--openmetrics"}).out;
    EXPECT_NE(metrics.find("# TYPE korvel_history_process_sent_bytes counter\n"
                           "# UNIT korvel_history_process_sent_bytes bytes\n"),
              std::string::npos);
    const auto sent =
        samplesOf(metrics, "korvel_history_process_sent_bytes_total{process=\"send\x1b[2J (42)\"}");
    ASSERT_GE(sent.size(), 2u) << metrics;
    EXPECT_EQ(sent.back().first, 240000000);
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].first, sent[i - 1].first);
        EXPECT_EQ(sent[i].second, sent[i - 1].second + 60) << "a minute's end each";
    }
    EXPECT_TRUE(metrics.ends_with("\n# EOF\n"));
    const auto eth0 = samplesOf(history({"--interfaces", "--openmetrics"}).out,
                                "korvel_history_interface_sent_bytes_total{interface=\"eth0\"}");
    ASSERT_FALSE(eth0.empty());
    EXPECT_EQ(eth0.back().first, 125000);
    EXPECT_EQ(history({"--interfaces", "--csv"}).out,
              "interface,bytes_in,bytes_out\neth0,0,125000\n");
    EXPECT_EQ(
        history::history({"--since", "1m", "--csv"}).out,
        "name,processes,cpu_seconds,peak_rss,bytes_in,bytes_out,gpu_seconds,disk_read,disk_write\n")
        << "nothing ran in the last minute";

    for (const auto& bad :
         std::vector<std::vector<std::string_view>>{{"--since", "soon"},
                                                    {"--top", "0"},
                                                    {"--by", "colour"},
                                                    {"--group", "x"},
                                                    {"--since", "1h", "--until", "2h"},
                                                    {"--json", "--csv"},
                                                    {"--process"},
                                                    {"extra"}}) {
        const CommandRun run = history::history(bad);
        EXPECT_EQ(run.status, 2) << bad[0];
        EXPECT_NE(run.err.find("Usage"), std::string::npos);
    }
}

// With the window open the engine merges every half second; the history
// keeps the user's period, and a socket that ended in a reading left out
// still adds its last bytes.
TEST_F(RecordedHistoryTest, HalfSecondReadingsAreKeptAtTheUsersPeriodAndLoseNoEndedSocket) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    start();
    defaults.setBool(settings::kResolveHostnames, false);
    HistoryRecorder recorder(manager, historyPlace(), dispatch, defaults);
    const HelperProcessData idle{7, "idle", std::nullopt, 0, 6 << 20};
    const HelperProcessData sender{42, "send", std::nullopt, 0, 5 << 20};
    HelperConnectionData socket{42, "TCP", "10.0.0.2", 5000, "198.51.100.9", 443, 1, 0, 0, 99};
    for (uint64_t half = 0; half <= 40; ++half) {
        socket.bytesOut = half * 1'000'000;
        HelperResponse r = half < 21 ? reading(dispatch.now(), {idle, sender}, {socket})
                                     : reading(dispatch.now(), {idle});
        if (half == 21) {
            r.endedConnections = {socket}; // at 10.5 s, between two kept readings
        }
        answer(requests.size() - 1, r);
        dispatch.advance(0.5);
        manager->refresh();
    }
    std::string error;
    auto db = openHistoryForReading(*historyPlace(), error);
    ASSERT_TRUE(db) << error;
    EXPECT_EQ(db->integerOf("SELECT count(*) FROM system_reading"), 5) << "0, 5, 10, 15 and 20 s";
    const auto json = nlohmann::json::parse(
        history({"--connections", "--json", "--since", "2023-12-31 00:00"}).out);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["bytes_out"], 21'000'000);
}

// Two engines over one history (one started without the session's runtime
// directory): one records, the other says why it does not and takes over
// once the first has gone. A state directory not made yet is made.
TEST_F(RecordedHistoryTest, OneEngineRecordsAHistoryAndAnotherOnlyOnceTheFirstHasGone) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str() + "/new/state");
    start();
    defaults.setBool(settings::kResolveHostnames, false);
    auto first = std::make_unique<HistoryRecorder>(manager, historyPlace(), dispatch, defaults);
    HistoryRecorder second(manager, historyPlace(), dispatch, defaults);
    uint64_t sent = 0;
    const auto bytesAfter = [&](int count) {
        for (int i = 0; i < count; ++i, sent += 1000) {
            HelperResponse r = reading(dispatch.now(), {{7, "idle", {}, 0, 6 << 20}});
            r.interfaces = {{"eth0", 0, sent}};
            answer(requests.size() - 1, r);
            dispatch.advance(5);
            manager->refresh();
        }
        std::string error;
        auto db = openHistoryForReading(*historyPlace(), error);
        return db ? db->integerOf("SELECT sum(bytes_out) FROM interface_reading").value_or(-1) : -1;
    };
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bytesAfter(3), 2000) << "counted once";
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(
        said.ends_with(": Korvel: history is not recorded: another Korvel engine (process " +
                       std::to_string(::getpid()) + ") records it\n"))
        << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once";
    EXPECT_EQ(std::filesystem::status(dir.path() / "new").permissions(),
              std::filesystem::perms::owner_all);
    first.reset();
    EXPECT_EQ(bytesAfter(3), 5000) << "the second goes on where the first stopped";
}

// A file truncated under the engine is set aside and a new one started; a
// write lock another program holds is named as such.
TEST_F(RecordedHistoryTest, AFileTruncatedOrLockedUnderTheEngineIsToldForWhatItIs) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    start();
    defaults.setBool(settings::kResolveHostnames, false);
    HistoryRecorder recorder(manager, historyPlace(), dispatch, defaults);
    const auto next = [&] {
        answer(requests.size() - 1, reading(dispatch.now(), {{7, "idle", {}, 0, 6 << 20}}));
        dispatch.advance(5);
        manager->refresh();
    };
    next();
    next();
    const std::string path = historyPlace()->path();
    ::testing::internal::CaptureStderr();
    std::filesystem::resize_file(path, 0);
    next();
    std::string error;
    auto other = Database::open(path, false, error);
    ASSERT_TRUE(other) << error;
    ASSERT_EQ(other->execute("BEGIN IMMEDIATE"), 0);
    next();
    other.reset();
    next();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(": Korvel: the history file changed under the engine and was set aside as "
                        "history.sqlite3.broken-"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(": Korvel: history: a reading was not written: the history is locked by "
                        "another program\n"),
              std::string::npos)
        << said;
    auto db = openHistoryForReading(*historyPlace(), error);
    ASSERT_TRUE(db) << error;
    EXPECT_EQ(db->integerOf("SELECT count(*) FROM system_reading"), 2) << "the locked one is lost";
}

// The export and the history keep the account the engine keeps: a sender
// whose connections end between readings, one on a long connection, bytes of
// connections no reading listed (other TCP), and a pid reused within one
// period, which owes nothing to the program that had it before.
TEST_F(RecordedHistoryTest, TheExportAndTheHistoryKeepTheEnginesAccount) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    start();
    defaults.setBool(settings::kResolveHostnames, false);
    HistoryRecorder recorder(manager, historyPlace(), dispatch, defaults);
    exporter::ProcessGroupCounters groups;
    std::map<exporter::GroupKey, exporter::GroupCounters> exported;
    HelperProcessData paced{10, "paced", {}, 0, 1 << 20}, steady{11, "steady", {}, 0, 1 << 20};
    HelperProcessData reused{12, "old", {}, 0, 1 << 20};
    paced.startTime = steady.startTime = reused.startTime = 1.0;
    HelperConnectionData longOne{11, "TCP", "10.0.0.2", 6000, "192.0.2.1", 443, 4, 0, 0, 1};
    std::optional<HelperConnectionData> open;
    for (int i = 0; i <= 12; ++i) {
        const double t = 10.0 + 5 * i;
        if (i == 6) {
            reused = {12, "new", {}, 0, 1 << 20};
            reused.startTime = t - 1;
        }
        reused.cpuNS += reused.name == "new" && reused.cpuNS == 0 ? 2'000'000'000 : 1'000'000'000;
        paced.cpuNS = steady.cpuNS = static_cast<uint64_t>(i) * 1'000'000'000;
        HelperResponse r = reading(t, {paced, steady, reused}, {longOne});
        // Each of paced's connections is listed once, 100 KB in, and ends
        // with 200 KB before the next reading.
        if (open) {
            open->bytesOut = 200'000;
            r.endedConnections = {*open};
        }
        open = HelperConnectionData{
            10, "TCP", "10.0.0.2", static_cast<uint16_t>(7000 + i), "192.0.2.2", 80,
            4,  0,     100'000,    100 + static_cast<uint64_t>(i)};
        r.connections.push_back(*open);
        r.unattributedTcpBytesIn = 0;
        r.unattributedTcpBytesOut = 50'000;
        longOne.bytesOut = *longOne.bytesOut + 1'000'000;
        answer(requests.size() - 1, r);
        exported = groups.fold(
            *manager->frame.get(),
            [](const NetProcess& p) {
                return exporter::GroupKey{p.name, "u"};
            },
            t);
        if (i == 6) {
            EXPECT_EQ(manager->processes.get()[2].cpuPercent, 0) << "nothing of the old one's";
        }
        dispatch.advance(5);
        manager->refresh();
    }
    const std::map<std::string, std::pair<uint64_t, uint64_t>> truth = {
        {"paced", {12, 2'400'000}},
        {"steady", {12, 12'000'000}},
        {"old", {5, 0}},
        {"new", {8, 0}},
        {"other TCP", {0, 600'000}}};
    // Each ranking lists the groups that used some of its measure.
    std::map<std::string, std::pair<uint64_t, uint64_t>> recorded;
    for (const std::string_view by : {"cpu", "out"}) {
        const auto top =
            nlohmann::json::parse(history({"--json", "--top", "10", "--by", by, "--since",
                                           "2000-12-31 00:00", "--until", "2001-01-02 00:00"})
                                      .out);
        for (const auto& row : top) {
            const std::string name = row["name"];
            recorded[name.substr(0, name.find(" ("))] = {row["cpu_seconds"].get<double>(),
                                                         row["bytes_out"]};
        }
    }
    EXPECT_EQ(recorded, truth);
    for (const auto& [name, figures] : truth) {
        if (name != "other TCP") {
            const auto& counters = exported[{name, "u"}];
            EXPECT_EQ(std::pair(counters.cpuNS / 1'000'000'000, counters.tcpBytesOut), figures)
                << name;
        }
    }
    EXPECT_EQ(manager->frame.get()->otherTcpTotal.bytesOut, 600'000u);
}

// A resolver that has not answered holds no reading back; the name is written
// by a reading after it arrives.
TEST_F(RecordedHistoryTest, EndpointsGetTheirHostNameOnceTheResolverHasAnswered) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    start();
    std::promise<void> release;
    HistoryRecorder recorder(manager, historyPlace(), dispatch, defaults,
                             [answered = release.get_future().share()](const std::string& address) {
                                 answered.wait();
                                 return address == "198.51.100.9"
                                            ? std::optional<std::string>("far.example")
                                            : std::nullopt;
                             });
    const HelperProcessData sender{42, "send", std::nullopt, 0, 5 << 20};
    const HelperConnectionData socket{42, "TCP", "10.0.0.2", 5000, "198.51.100.9", 443, 1, 0, 0};
    const auto hostAfterAReading = [&] {
        answer(requests.size() - 1, reading(dispatch.now(), {sender}, {socket}));
        dispatch.advance(5);
        manager->refresh();
        dispatch.runPending();
        const auto json = nlohmann::json::parse(
            history({"--connections", "--json", "--since", "2023-12-31 00:00"}).out);
        return json.size() == 1 ? json[0]["host"] : nlohmann::json("no endpoint");
    };
    EXPECT_EQ(hostAfterAReading(), nullptr);
    release.set_value();
    nlohmann::json host;
    for (int i = 0; i < 300 && (host = hostAfterAReading()).is_null(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(host, "far.example");
}

// A pid used again by a program of the same name: one series, both shares.
TEST(HistoryCommandTest, OpenMetricsListsAPidUsedTwiceUnderOneNameOnce) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    std::string error;
    auto db = openHistoryForWriting(*historyPlace(), error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    HistoryStore store(std::move(*db));
    const auto sender = [](double start, uint16_t port, uint64_t out) {
        ProcessSample p;
        std::tie(p.pid, p.startTime, p.name, p.uid) = std::tuple(42, start, "send", 1000);
        p.sockets = {{"TCP", "10.0.0.2", port, "198.51.100.9", 443}};
        p.bytesUsed.bytesOut = out; // since the reading before
        return p;
    };
    const std::pair<ProcessSample, int64_t> readings[] = {{sender(1699999000, 5000, 0), 0},
                                                          {sender(1699999000, 5000, 1000), 5},
                                                          {sender(1699999900, 5001, 0), 10},
                                                          {sender(1699999900, 5001, 500), 15}};
    for (const auto& [process, offset] : readings) {
        HistoryReading r;
        r.time = 1700000000 + offset;
        r.processes = {process};
        ASSERT_EQ(store.record(r, {}), 0);
    }
    const std::string metrics = history({"--openmetrics", "--by", "out", "--since",
                                         "2023-11-01 00:00", "--until", "2023-12-01 00:00"})
                                    .out;
    // Both in the minute that ends at 1700000040.
    EXPECT_EQ(samplesOf(metrics, "korvel_history_process_sent_bytes_total{process=\"send (42)\"}"),
              (std::vector<std::pair<double, double>>{{1500, 1700000040}}))
        << metrics;
}

TEST(HistoryCommandTest, GroupingByExecutableKeepsAnInterpretersScriptsApart) {
    korvel::testing::TempDir dir;
    korvel::testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    std::string error;
    auto db = openHistoryForWriting(*historyPlace(), error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    HistoryStore store(std::move(*db));
    HistoryReading r;
    r.time = 1700000000;
    for (const int32_t pid : {1, 2, 3}) {
        ProcessSample& p = r.processes.emplace_back();
        std::tie(p.pid, p.name, p.executable, p.cpuUsedNS, p.script) =
            std::tuple(pid, "python3.11", "/usr/bin/python3.11", pid * 1'000'000'000ULL,
                       pid == 1 ? "a.py" : "b.py");
    }
    ASSERT_EQ(store.record(r, {}), 0);
    const std::string csv =
        history({"--group", "executable", "--csv", "--since", "2023-11-01 00:00"}).out;
    EXPECT_EQ(csv.substr(csv.find('\n') + 1), "/usr/bin/python3.11 b.py,2,5.0,0,0,0,0.0,0,0\n"
                                              "/usr/bin/python3.11 a.py,1,1.0,0,0,0,0.0,0,0\n");
}

TEST(HistoryCommandTest, TimesTheCommandTakes) {
    const int64_t now = 1700000000;
    EXPECT_EQ(parseHistoryTime("3h", now), now - 3 * 3600);
    EXPECT_EQ(parseHistoryTime("30m", now), now - 1800);
    EXPECT_EQ(parseHistoryTime("2d", now), now - 2 * 86400);
    // Years since 1900 and months from 0, as struct tm counts them.
    const auto local = [](int year, int month, int day, int hour, int minute) {
        std::tm tm{};
        std::tie(tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_isdst) =
            std::tuple(year, month, day, hour, minute, -1);
        return std::mktime(&tm);
    };
    std::tm today{};
    const std::time_t t = now;
    localtime_r(&t, &today);
    EXPECT_EQ(parseHistoryTime("yesterday 02:00", now),
              local(today.tm_year, today.tm_mon, today.tm_mday - 1, 2, 0));
    EXPECT_EQ(parseHistoryTime("2024-05-01 14:30", now), local(124, 4, 1, 14, 30));
    for (const char* bad : {"", "h", "-3h", "3x", "yesterday 2:00", "2024-13-01", "today 24:00",
                            "2024-05-01 14:30x"}) {
        EXPECT_FALSE(parseHistoryTime(bad, now)) << bad;
    }
}

TEST(HistoryCommandTest, AnUnreadableDatabaseIsMovedAsideAndANewOneStarted) {
    testing::TempDir dir;
    const HistoryPlace place{dir.str(), "korvel"};
    for (const std::string& broken :
         {std::string(8192, 'x'), std::string("SQLite format 3\0", 16) + std::string(200, '\1')}) {
        SCOPED_TRACE(broken.size());
        std::filesystem::remove_all(dir.path() / "korvel");
        dir.write("korvel/history.sqlite3", broken);
        std::vector<std::string> said;
        std::string error;
        auto db =
            openHistoryForWriting(place, error, [&](const std::string& m) { said.push_back(m); });
        ASSERT_TRUE(db) << error;
        EXPECT_EQ(db->integerOf("PRAGMA user_version"), kSchemaVersion);
        ASSERT_EQ(said.size(), 1u);
        int aside = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "korvel")) {
            const std::string name = entry.path().filename();
            if (name.starts_with("history.sqlite3.broken-") && !name.ends_with("-shm") &&
                !name.ends_with("-wal")) {
                EXPECT_EQ(dir.read(entry.path()), broken);
                ++aside;
            }
        }
        EXPECT_EQ(aside, 1);
        EXPECT_EQ(std::filesystem::status(place.path()).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    // A link in the file's place is refused, not followed.
    std::filesystem::remove(place.path());
    std::filesystem::create_symlink(dir.path() / "elsewhere", place.path());
    std::string error;
    EXPECT_FALSE(openHistoryForWriting(place, error, [](const std::string&) {}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
    // A pipe in its place would hang every reader that opened it.
    std::filesystem::remove(place.path());
    ASSERT_EQ(::mkfifo(place.path().c_str(), 0600), 0);
    EXPECT_FALSE(openHistoryForReading(place, error));
    EXPECT_NE(error.find("not a file of ours"), std::string::npos) << error;
}

} // namespace
} // namespace korvel::history
