#include "companion/archive/history_location.h"
#include "companion/archive/history_query.h"
#include "companion/archive/history_schema.h"
#include "companion/archive/history_tiers.h"
#include "companion/archive/reading_packing.h"
#include "companion/history/history_store.h"
#include "tests/support/temp_dir.h"

#include <array>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace korvel::history {
namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kStart = 1700000000;

struct Fed {
    int64_t cpuMS = 0;
    int64_t bytesOut = 0;
    int64_t lastSeen = 0;
};

// What the test fed, per pid, to hold the database's totals against.
class Feeder {
public:
    explicit Feeder(const HistoryPlace& place) {
        std::string error;
        auto db = openHistoryForWriting(place, error, [](const std::string&) {});
        EXPECT_TRUE(db) << error;
        store = std::make_unique<HistoryStore>(std::move(*db));
        log = place.path() + "-wal";
    }

    // A process of user 1000, as far as these tests need one.
    static ProcessSample process(int32_t pid, double start, const char* name, uint64_t rss) {
        ProcessSample p;
        std::tie(p.pid, p.startTime, p.name, p.rssBytes, p.uid) =
            std::tuple(pid, start, name, rss, 1000);
        p.executable = std::string("/usr/bin/") + name;
        return p;
    }

    // One reading at time t: a long-running process 1 (busy), and process
    // 1000 + k alive for two hours from k × `spacing`, sending over TCP. What
    // each used since the last reading is taken from running totals, as the
    // engine does: all of it for one started since, none for one first seen.
    HistoryReading reading(int64_t t, int64_t spacing, int count) {
        HistoryReading r;
        r.time = t;
        std::map<int32_t, std::pair<uint64_t, uint64_t>> totals; // CPU ns, bytes out
        r.processes.push_back(process(1, kStart - 100.0, "daemon", 50 << 20));
        totals[1] = {static_cast<uint64_t>(t - kStart + 3600) * 100'000'000, 0};
        for (int k = 0; k < count; ++k) {
            const int64_t born = kStart + k * spacing;
            if (t < born || t >= born + 7200) {
                continue;
            }
            const auto age = static_cast<uint64_t>(t - born + 10);
            ProcessSample p = process(1000 + k, born - 10.0, "job", (10 + age % 7) << 20);
            p.unit = "job.service";
            p.sockets.push_back({"TCP", "10.0.0.2", 40000, "192.0.2.7", 443});
            p.sockets.push_back({"UDP", "0.0.0.0", 5353, "", 0});
            totals[p.pid] = {age * 20'000'000, age * 1000};
            r.processes.push_back(std::move(p));
        }
        for (size_t i = 0; i < r.processes.size(); ++i) {
            ProcessSample& p = r.processes[i];
            const auto [cpu, out] = totals[p.pid];
            const bool fresh =
                previousTime && *p.startTime >= static_cast<double>(*previousTime) - 1;
            const auto previous = last.find(p.pid);
            const auto before = previous != last.end() ? previous->second
                                : fresh                ? std::pair<uint64_t, uint64_t>{0, 0}
                                                       : std::pair{cpu, out};
            p.cpuUsedNS = cpu - before.first;
            p.bytesUsed.bytesOut = out - before.second;
            if (p.bytesUsed.bytesOut > 0) {
                r.endpoints.push_back({i, "TCP", "192.0.2.7", 443, p.bytesUsed});
            }
            next[p.pid] = {cpu, out};
        }
        r.interfaces.push_back(
            {"eth0", {previousTime ? static_cast<uint64_t>(t - *previousTime) * 10 : 0, 0}});
        r.system.cpuPercent = 12;
        return r;
    }

    void feed(const HistoryReading& r, const HistoryLimits& limits) {
        for (const auto& p : r.processes) {
            Fed& f = fed[p.pid];
            f.cpuMS = static_cast<int64_t>(p.cpuUsedNS / 1'000'000) + f.cpuMS;
            f.bytesOut += static_cast<int64_t>(p.bytesUsed.bytesOut);
            f.lastSeen = r.time;
        }
        last = std::move(next);
        next.clear();
        previousTime = r.time;
        ASSERT_EQ(store->record(r, limits), 0);
        store->checkpointIfDue();
        std::error_code missing;
        largestLog = std::max(largestLog, std::filesystem::file_size(log, missing));
    }

    std::unique_ptr<HistoryStore> store;
    std::map<int32_t, Fed> fed;
    std::map<int32_t, std::pair<uint64_t, uint64_t>> last, next;
    std::optional<int64_t> previousTime;
    std::string log;
    uintmax_t largestLog = 0;
};

int64_t count(Database& db, const std::string& sql) {
    return db.integerOf(sql.c_str()).value_or(-1);
}

// Every packed row decodes whole and adds up to its minute bucket.
void expectPackedReadingsMatchTheirMinutes(Database& db) {
    Statement packed = db.prepare("SELECT r.readings, m.cpu_ms, m.bytes_out FROM process_reading r "
                                  "JOIN process_minute m USING (time, process_id)");
    int64_t rows = 0;
    while (packed.step()) {
        int64_t cpu = 0, out = 0;
        for (const auto& r : unpackReadings(packed.blob(0))) {
            cpu += static_cast<int64_t>(r[PackedField::cpuMS].value_or(0));
            out += static_cast<int64_t>(r[PackedField::bytesOut].value_or(0));
        }
        ASSERT_EQ(std::tuple(cpu, out), std::tuple(packed.integer(1), packed.integer(2)));
        ++rows;
    }
    EXPECT_EQ(rows, count(db, "SELECT count(*) FROM process_reading"));
}

// A question reads whole hours from the hours and the rest from the minutes:
// it adds up to what the finest rows kept in its window hold, and so do the
// interfaces' steps, bucket by bucket.
void expectWindowsAddUpToTheFinestRows(Database& db,
                                       std::initializer_list<std::pair<int64_t, int64_t>> windows) {
    for (const auto& [since, until] : windows) {
        SCOPED_TRACE(since - kStart);
        Statement fine =
            db.prepare("SELECT sum(u.cpu_ms), sum(u.bytes_out), sum(iif(p.pid = 1, u.cpu_ms, 0)), "
                       "(SELECT sum(bytes_in) FROM interface_usage WHERE time >= ?1 AND time < ?2) "
                       "FROM process_usage u JOIN process p ON p.id = u.process_id "
                       "WHERE u.time >= ?1 AND u.time < ?2");
        ASSERT_TRUE(fine.bind(1, since).bind(2, until).step());
        int64_t cpu = 0, out = 0, stepped = 0;
        for (const auto& row : topUsage(db, {since, until, {}, {}, 100}, Measure::cpu, {})) {
            cpu += std::llround(row.cpuSeconds * 1000);
            out += row.bytesOut;
        }
        int64_t lastEnd = since; // one interface: a step a bucket, in order, each on a minute
        for (const auto& step : interfaceSteps(db, {since, until, {}, {}, 10}, true)) {
            EXPECT_TRUE(step.end > lastEnd && step.end % 60 == 0) << step.end;
            lastEnd = step.end;
            stepped += step.totals.bytesIn;
        }
        const auto daemon = topUsage(db, {since, until, 1, {}, 10}, Measure::cpu, {});
        ASSERT_EQ(daemon.size(), 1u);
        EXPECT_EQ(std::tuple(cpu, out, std::llround(daemon[0].cpuSeconds * 1000),
                             interfaceTotals(db, {since, until, {}, {}, 10}).at(0).bytesIn,
                             stepped),
                  std::tuple(fine.integer(0), fine.integer(1), fine.integer(2), fine.integer(3),
                             fine.integer(3)));
    }
}

TEST(HistoryStoreTest, ThirtyTwoDaysAgeIntoTiersAndEndedProcessesKeepWhatWasFed) {
    testing::TempDir dir;
    const HistoryPlace place{dir.str(), "korvel"};
    Feeder feeder(place);
    const int64_t period = 600, end = kStart + 32 * kDay;
    for (int64_t t = kStart - period; t <= end; t += period) {
        feeder.feed(feeder.reading(t, 3 * kDay, 11), {});
    }
    Database& db = feeder.store->database();
    // Every tier is written up to the last reading; each keeps its own span.
    for (const char* tier : {"reading", "minute", "hour"}) {
        EXPECT_GE(count(db, std::string("SELECT max(time) FROM process_") + tier), end - 3600)
            << tier;
    }
    EXPECT_GE(count(db, "SELECT min(time) FROM process_reading"), end - 2 * kDay - 60);
    EXPECT_GE(count(db, "SELECT min(time) FROM process_minute"), end - 30 * kDay - 3600);
    EXPECT_LE(count(db, "SELECT min(time) FROM process_hour"), kStart);
    EXPECT_GT(count(db, "SELECT count(*) FROM system_hour WHERE readings = 6"), 0);
    expectPackedReadingsMatchTheirMinutes(db);
    EXPECT_LE(feeder.largestLog, 3u << 20) << "the write-ahead log stays within a few MB";

    // Whatever tier its rows ended up in, each process adds up to what was fed.
    Statement totals =
        db.prepare("SELECT p.pid, p.cpu_ms, p.tcp_bytes_out, p.ended, p.last_seen, sum(u.cpu_ms), "
                   "sum(u.bytes_out) FROM process p JOIN process_usage u ON u.process_id = p.id "
                   "GROUP BY p.id ORDER BY p.pid");
    while (totals.step()) {
        const auto pid = static_cast<int32_t>(totals.integer(0));
        const Fed& fed = feeder.fed.at(pid);
        SCOPED_TRACE(pid);
        EXPECT_EQ(std::tuple(totals.integer(1), totals.integer(5), totals.integer(2),
                             totals.integer(6), totals.integer(3), totals.integer(4)),
                  std::tuple(fed.cpuMS, fed.cpuMS, fed.bytesOut, fed.bytesOut, pid == 1 ? 0 : 1,
                             fed.lastSeen))
            << "CPU and bytes in the process row and its usage, ended, last seen";
    }
    EXPECT_EQ(count(db, "SELECT count(*) FROM process"), 12);
    EXPECT_EQ(count(db, "SELECT sum(bytes_out) FROM endpoint WHERE protocol = 'TCP'"),
              11 * feeder.fed.at(1000).bytesOut);
    EXPECT_EQ(count(db, "SELECT count(*) FROM endpoint WHERE protocol = 'UDP'"), 0)
        << "an unconnected socket has no endpoint";
    EXPECT_EQ(count(db, "SELECT sum(bytes_in) FROM interface_usage"), (32 * kDay + period) * 10);

    expectWindowsAddUpToTheFinestRows(db, {{end - 3617, end + 1},
                                           {end - 26 * 3600 - 130, end - 3 * 3600 + 70},
                                           {end - 31 * kDay - 555, end - 29 * kDay + 999},
                                           {kStart - period, end + 1}});
}

// Each tier keeps its span to the second, counted from the whole minute or
// hour it is dropped in, and who ran and whom they talked to go with their
// last hour. The cap leaves a database right at it alone; squeezed to
// nothing, it keeps the minute and the hour now lies in.
TEST(HistoryStoreTest, EachTierKeepsItsSpanAndTheCapKeepsTheMinuteAndHourOfNow) {
    testing::TempDir dir;
    Feeder feeder({dir.str(), "korvel"});
    // The readings fall 20 s into their minutes, so that these spans end on
    // a whole minute or hour now and then, or a second before one: there a
    // cutoff a second late or early shows.
    HistoryLimits limits;
    const int64_t readings = 620, minutes = 2 * 3600 + 21, hours = 4 * 3600 + 20;
    std::tie(limits.readingSeconds, limits.minuteSeconds, limits.hourSeconds) =
        std::tuple(readings, minutes, hours);
    Database& db = feeder.store->database();
    const auto down = [](int64_t time, int64_t unit) { return time / unit * unit; };
    const int64_t end = kStart + 7 * 3600;
    for (int64_t t = kStart - 60; t <= end; t += 60) {
        feeder.feed(feeder.reading(t, 3 * 3600, 2), limits);
        SCOPED_TRACE(t - kStart);
        if (t >= kStart + 5 * 3600) {
            EXPECT_EQ(oldestKept(db),
                      (std::array<std::optional<int64_t>, 3>{
                          down(t - readings, 60), down(t - minutes, 3600), down(t - hours, 3600)}));
        }
        // Job 1000, born at kStart, was last seen in the hour from kStart + 6400.
        EXPECT_EQ(count(db, "SELECT count(*) FROM process WHERE pid = 1000"),
                  t >= kStart && t < kStart + 6400 + 3600 + hours ? 1 : 0);
    }
    EXPECT_EQ(count(db, "SELECT count(*) FROM endpoint"), 1) << "job 1001's alone";
    // Windows on and just past the hour the minutes begin at, and within an hour.
    const int64_t from = down(end - minutes, 3600);
    expectWindowsAddUpToTheFinestRows(db, {{from - 3600, from + 3600},
                                           {from + 1, end + 1},
                                           {from - 7199, from + 1800},
                                           {from + 600, from + 1200}});

    TierKeeper keeper(db);
    const auto before = oldestKept(db);
    ASSERT_EQ(keeper.enforceCap(keeper.usedBytes(), end), 0);
    EXPECT_EQ(oldestKept(db), before);
    ASSERT_EQ(keeper.enforceCap(1, end), 0);
    const auto squeezed = oldestKept(db);
    EXPECT_EQ(std::tuple(squeezed[0], squeezed[1]),
              std::tuple(std::optional(down(end, 60)), std::optional(down(end, 3600))));
}

TEST(HistoryStoreTest, TheCapHoldsAtEveryWriteByAgeingTheOldestReadingsFirst) {
    testing::TempDir dir;
    const HistoryPlace place{dir.str(), "korvel"};
    Feeder feeder(place);
    HistoryLimits limits;
    limits.maxBytes = 1 << 19;
    // Durability is not what this measures.
    feeder.store->database().execute("PRAGMA synchronous = OFF");
    uint64_t largest = 0;
    const auto size = [&](const char* suffix) {
        const auto file = place.path() + suffix;
        return std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0;
    };
    int64_t t = kStart - 5;
    for (; t < kStart + 2 * 3600; t += 5) {
        feeder.feed(feeder.reading(t, 120, 60), limits);
        const uint64_t total = size("") + size("-wal");
        ASSERT_LE(total, limits.maxBytes / 100 * 105) << "at " << t - kStart;
        largest = std::max(largest, total);
    }
    EXPECT_GT(largest, limits.maxBytes * 9 / 10) << "the load reached the cap";
    Database& db = feeder.store->database();
    EXPECT_GT(count(db, "SELECT min(time) FROM process_reading"),
              count(db, "SELECT min(time) FROM process_minute"))
        << "the oldest readings went first, their minutes stayed";
    expectPackedReadingsMatchTheirMinutes(db);
    EXPECT_GE(count(db, "SELECT max(time) FROM process_reading"), t - 65) << "newest kept";
}

TEST(HistoryStoreTest, AWriterKilledMidWriteLosesNoFinishedReadingAndTheFileStillOpens) {
    testing::TempDir dir;
    const HistoryPlace place{dir.str(), "korvel"};
    int64_t next = kStart;
    for (int round = 0; round < 10; ++round) {
        int finishedPipe[2];
        ASSERT_EQ(::pipe(finishedPipe), 0);
        const pid_t writer = ::fork();
        if (writer == 0) {
            Feeder feeder(place);
            for (int64_t t = next;; t += 5) {
                if (feeder.store->record(feeder.reading(t, 60, 40), {}) != 0 ||
                    ::write(finishedPipe[1], &t, sizeof t) != sizeof t) {
                    ::_exit(1);
                }
            }
        }
        ::close(finishedPipe[1]);
        int64_t finished = 0, t = 0;
        ASSERT_EQ(::read(finishedPipe[0], &finished, sizeof finished), sizeof finished);
        ::usleep(static_cast<useconds_t>(1000 + round * 2000));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        for (; ::read(finishedPipe[0], &t, sizeof t) == sizeof t; finished = t) {
        }
        ::close(finishedPipe[0]);
        // Opening for writing runs the quick check and says so if it fails.
        std::string error;
        auto db = openHistoryForWriting(place, error, [](const std::string& m) { FAIL() << m; });
        ASSERT_TRUE(db) << error;
        const int64_t last = count(*db, "SELECT max(time) FROM system_reading");
        EXPECT_TRUE(last == finished || last == finished + 5)
            << last - finished << ": only the reading being written may be lost";
        EXPECT_LE(count(*db, "SELECT max(time) FROM process_reading"), last) << "nor half of it";
        EXPECT_EQ(count(*db, "SELECT count(*) FROM system_reading"), (last - kStart) / 5 + 1);
        // A minute begun before the kill goes on after it.
        expectPackedReadingsMatchTheirMinutes(*db);
        next = last + 5;
    }
}

TEST(HistoryStoreTest, AVersionOneDatabaseIsBroughtUpToDateWithItsUsage) {
    testing::TempDir dir;
    std::string error;
    auto db = openHistoryForWriting({dir.str(), "korvel"}, error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    // Version 1 counted resident memory in bytes and kept a row a reading; a
    // reading's usage lay in one tier, moved on as it aged.
    db->execute("DROP TABLE process_reading; CREATE TABLE process_reading (time, process_id, "
                "cpu_ms, rss, bytes_in, bytes_out, tcp_sockets, udp_sockets, "
                "PRIMARY KEY (time, process_id)) WITHOUT ROWID; "
                "ALTER TABLE process_minute RENAME COLUMN rss_kib TO rss; "
                "ALTER TABLE process_hour RENAME COLUMN rss_kib TO rss; "
                "ALTER TABLE process DROP COLUMN script; DROP VIEW process_usage; "
                "CREATE VIEW process_usage AS SELECT 1; DROP VIEW network_usage; "
                "DROP VIEW network_process_usage; DROP TABLE network_minute; "
                "DROP TABLE network_hour; "
                "DROP TABLE network_process_hour; DROP TABLE network; DROP TABLE plan_alert");
    for (const char* table : {"process_minute", "process_hour"}) {
        for (const char* column : {"gpu_ms", "disk_read", "disk_write"}) {
            ASSERT_EQ(db->execute(
                          (std::string("ALTER TABLE ") + table + " DROP COLUMN " + column).c_str()),
                      0)
                << db->lastError();
        }
    }
    const int64_t minute = kStart - 20, hour = kStart - 800;
    for (const auto& [table, time] : {std::pair{"process_reading", kStart + 5},
                                      {"process_reading", kStart + 10},
                                      {"process_minute", minute - 2 * kDay},
                                      {"process_hour", hour - 40 * kDay}}) {
        db->execute((std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(time) +
                     ", 1, 5, 8388608, 0, 7, 1, 0)")
                        .c_str());
    }
    db->execute("INSERT INTO interface_reading VALUES (1700000000, 'eth0', 3, 4)");
    db->execute("PRAGMA user_version = 1");
    ASSERT_TRUE(migrateSchema(*db, error)) << error;
    EXPECT_EQ(count(*db, "PRAGMA user_version"), kSchemaVersion);
    EXPECT_EQ(count(*db, "SELECT sum(cpu_ms) + sum(bytes_out) FROM process_usage"), 4 * 12);
    EXPECT_EQ(count(*db, "SELECT max(rss_kib) FROM process_usage"), 8192);
    EXPECT_EQ(count(*db, "SELECT sum(cpu_ms) FROM process_hour"), 4 * 5) << "hours hold all";
    EXPECT_EQ(
        count(*db, "SELECT cpu_ms FROM process_minute WHERE time = " + std::to_string(minute)), 10);
    EXPECT_EQ(count(*db, "SELECT sum(bytes_out) FROM interface_usage"), 4);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM sqlite_schema WHERE sql LIKE '%resident KiB%'"), 2);
    EXPECT_EQ(count(*db, "SELECT sum(gpu_ms + disk_read + disk_write) FROM process_usage"), 0);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM network_usage, network_process_usage, plan_alert"),
              0);
}

TEST(HistoryStoreTest, GpuTimeAndStorageBytesReachTheBucketsWithoutLosingFractions) {
    testing::TempDir dir;
    Feeder feeder({dir.str(), "korvel"});
    HistoryReading r;
    r.processes = {Feeder::process(5, kStart - 10.0, "render", 1 << 20)};
    r.time = kStart;
    // 1.5 ms and 2.6 ms of GPU: 4 ms stored, not 1 + 2. The last reading
    // moved only storage bytes: no CPU, memory or socket change to pack.
    for (const auto& [gpuNS, written] :
         {std::pair<uint64_t, uint64_t>{1'500'000, 0}, {2'600'000, 1 << 20}, {0, 3 << 20}}) {
        r.time += 5;
        r.processes[0].gpuUsedNS = gpuNS;
        r.processes[0].diskWriteUsed = written;
        r.processes[0].diskReadUsed = written / 2;
        ASSERT_EQ(feeder.store->record(r, {}), 0);
    }
    Database& db = feeder.store->database();
    EXPECT_EQ(count(db, "SELECT sum(gpu_ms) FROM process_hour"), 4);
    Window window;
    std::tie(window.since, window.until) = std::tuple(kStart - 60, kStart + 60);
    // It used no CPU: ranked by memory, which it held.
    const auto top = topUsage(db, window, Measure::memory, Grouping::process);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(std::tuple(top[0].gpuSeconds, top[0].diskRead, top[0].diskWrite),
              std::tuple(0.004, int64_t{2} << 20, int64_t{4} << 20));
}

TEST(HistoryStoreTest, AProcessThatEndedSinceAddsItsLastBytesWhereItWasLastSeen) {
    testing::TempDir dir;
    Feeder feeder({dir.str(), "korvel"});
    HistoryReading r;
    r.processes = {Feeder::process(5, kStart - 10.0, "sender", 1 << 20)};
    r.processes[0].sockets = {{"TCP", "10.0.0.2", 40000, "192.0.2.7", 443}};
    r.time = kStart - 5;
    for (const uint64_t sent : {uint64_t{0}, uint64_t{1000}, uint64_t{500}}) {
        r.time += 5;
        r.processes[0].bytesUsed.bytesOut = sent;
        r.endpoints = {{0, "TCP", "192.0.2.7", 443, {0, sent}}};
        // The last bytes come from its socket's end, after the process went.
        r.processes[0].running = sent != 500;
        ASSERT_EQ(feeder.store->record(r, {}), 0);
    }
    Database& db = feeder.store->database();
    EXPECT_EQ(count(db, "SELECT tcp_bytes_out FROM process WHERE ended = 1"), 1500);
    EXPECT_EQ(count(db, "SELECT last_seen FROM process"), kStart + 5) << "still its last reading";
    EXPECT_EQ(count(db, "SELECT sum(bytes_out) FROM process_usage"), 1500);
    EXPECT_EQ(count(db, "SELECT bytes_out FROM endpoint"), 1500);

    // A helper that says a socket moved nearly 2^64 bytes twice: the totals
    // stay at the top, never below zero.
    r.time += 5;
    r.processes[0].pid = 6;
    r.processes[0].running = true;
    for (int i = 0; i < 2; ++i, r.time += 5) {
        r.processes[0].bytesUsed.bytesOut = UINT64_MAX - 1;
        r.endpoints = {{0, "TCP", "192.0.2.7", 443, {0, UINT64_MAX - 1}}};
        ASSERT_EQ(feeder.store->record(r, {}), 0);
    }
    EXPECT_EQ(count(db, "SELECT max(bytes_out) FROM endpoint"), INT64_MAX);
    EXPECT_EQ(count(db, "SELECT tcp_bytes_out FROM process WHERE pid = 6"), INT64_MAX);
}

} // namespace
} // namespace korvel::history
