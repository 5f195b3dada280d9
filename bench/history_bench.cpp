// The history store on a desktop-like load fed on a virtual clock as fast as
// it writes, into a temporary database: growth per day, a year's projected
// size, write times, the writer's resident memory day by day, the share the
// networks' records take, and the times of the questions the history and
// usage commands ask and of a step of `top --at`.
//
//   history_bench [--days N] [--period S] [--keep]
//
// Three fed days by default (a few minutes); --days 7 shows whether the
// writer's memory stays flat over a week.
//
// The load: 400 processes of which 60 use CPU at every reading and 20 of those
// send and receive over TCP, 2,000 sockets, a short-lived process every 30 s
// and a new connection a minute per sender (one in ten to a new address),
// over one network by day and another by night.
// --keep leaves the database in place and prints where.

#include "bench/command_run.h"
#include "bench/process_figures.h"
#include "companion/archive/history_location.h"
#include "companion/archive/history_moment.h"
#include "companion/archive/history_query.h"
#include "companion/history/history_store.h"
#include "companion/usage/network_account.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace korvel::history;
using korvel::ConnectionCounters;
using Clock = std::chrono::steady_clock;

constexpr int64_t kDay = 86400;
constexpr int kProcesses = 400, kBusy = 60, kSenders = 20, kSenderSockets = 40;

struct Options {
    int days = 3;
    int period = 5;
    bool keep = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--keep") {
            o.keep = true;
        } else if (i + 1 < argc && (flag == "--days" || flag == "--period")) {
            (flag == "--days" ? o.days : o.period) = std::max(1, std::atoi(argv[++i]));
        }
    }
    return o;
}

// The desktop, advanced one reading at a time in place.
class DesktopLoad {
public:
    explicit DesktopLoad(int64_t start) : time_(start) {
        static const char* const names[] = {"firefox",
                                            "Isolated Web Co",
                                            "gnome-shell",
                                            "Xwayland",
                                            "pipewire",
                                            "wireplumber",
                                            "code",
                                            "slack",
                                            "thunderbird",
                                            "gnome-terminal-",
                                            "bash",
                                            "systemd",
                                            "dbus-daemon",
                                            "evolution-alarm",
                                            "tracker-miner-f",
                                            "gvfsd",
                                            "at-spi-bus-laun",
                                            "ibus-daemon",
                                            "goa-daemon",
                                            "nautilus",
                                            "containerd",
                                            "dockerd",
                                            "syncthing",
                                            "signal-desktop"};
        for (int i = 0; i < kProcesses; ++i) {
            const std::string name = names[i % std::size(names)];
            ProcessSample& p = reading_.processes.emplace_back();
            p.pid = 1000 + i;
            p.startTime = static_cast<double>(start - 3600 - i);
            p.name = name;
            p.executable = "/usr/lib/" + name + "/" + name;
            p.uid = 1000;
            p.unit = "app-gnome-" + name + "-" + std::to_string(p.pid) + ".scope";
            if (i % 3 == 0) {
                p.appId = "org.example." + name;
            }
            p.rssBytes = static_cast<uint64_t>(20 + i % 300) << 20;
            if (i < kSenders) {
                for (int k = 0; k < kSenderSockets; ++k) {
                    p.sockets.push_back(
                        k < 30 ? tcpTo(poolAddress(i + k), 443, nextPort())
                               : SocketSample{"UDP", "10.0.0.2", nextPort(), "192.0.2.53", 53});
                }
            } else if (i < kBusy) {
                for (int k = 0; k < 10; ++k) {
                    p.sockets.push_back(
                        k < 8 ? tcpTo("127.0.0.1", static_cast<uint16_t>(6000 + k), nextPort())
                              : listening("TCP", nextPort()));
                }
            } else if (i < kBusy + 200) {
                for (const char* protocol : {"TCP", "TCP6", "UDP", "UDP6"}) {
                    p.sockets.push_back(listening(protocol, nextPort()));
                }
            }
        }
        reading_.interfaces = {{"lo", {}}, {"eth0", {}}, {"wlan0", {}}};
        reading_.networks.resize(1);
        reading_.system = {10, 1.2, 16ULL << 30, 8ULL << 30, 6ULL << 30, 0, 3.0, 52.0, 45.0};
    }

    const HistoryReading& next(int period) {
        time_ += period;
        ++tick_;
        reading_.time = time_;
        auto& processes = reading_.processes;
        std::erase_if(processes, [this](const ProcessSample& p) {
            return p.pid >= 200000 && *p.startTime < static_cast<double>(time_ - 10);
        });
        // Each reading carries what was used since the one before.
        for (ProcessSample& p : processes) {
            p.cpuUsedNS = 0;
            p.bytesUsed = {};
        }
        reading_.endpoints.clear();
        for (size_t index = 0; index < kProcesses; ++index) {
            advance(static_cast<int>(index), processes[index]);
        }
        if (tick_ % 6 == 0) {
            ProcessSample job{200000 + static_cast<int32_t>(tick_ / 6),
                              static_cast<double>(time_),
                              "cc1plus",
                              "/usr/libexec/gcc/x86_64-linux-gnu/12/cc1plus",
                              1000,
                              "app-gnome-gnome-terminal--1009.scope",
                              {},
                              {},
                              0,
                              {},
                              90 << 20,
                              {}};
            processes.push_back(std::move(job));
        }
        for (size_t index = kProcesses; index < processes.size(); ++index) {
            processes[index].cpuUsedNS = 80'000'000;
        }
        reading_.interfaces[0].used = {30'000, 30'000};
        reading_.interfaces[1].used = {sentThisTick_ * 10, sentThisTick_};
        NetworkSample& network = reading_.networks[0];
        const bool day = (time_ % kDay) < kDay / 2;
        network.network = {"eth0", day ? "uuid-office" : "uuid-home", day ? "Office" : "Home",
                           day ? "uuid-office" : "uuid-home", "", "192.0.2.1", false};
        network.used = reading_.interfaces[1].used;
        network.processes.clear();
        for (size_t index = 0; index < kSenders; ++index) {
            network.processes.emplace_back(index, processes[index].bytesUsed);
        }
        reading_.system.cpuPercent = static_cast<double>(8 + tick_ % 30);
        reading_.system.memoryUsed = (8ULL << 30) + (tick_ % 512) * 4096;
        return reading_;
    }

private:
    static SocketSample tcpTo(const std::string& address, uint16_t port, uint16_t local) {
        return {address.find(':') == std::string::npos ? "TCP" : "TCP6", "10.0.0.2", local, address,
                port};
    }
    static SocketSample listening(const char* protocol, uint16_t port) {
        return {protocol, "0.0.0.0", port, "0.0.0.0", 0};
    }
    static std::string poolAddress(int n) { return "203.0.113." + std::to_string(n % 64); }
    uint16_t nextPort() { return static_cast<uint16_t>(32768 + (port_++ % 28000)); }

    void advance(int i, ProcessSample& p) {
        if (i < kBusy) {
            p.cpuUsedNS = static_cast<uint64_t>(4 + (i * 7 + tick_) % 37) * 1'000'000;
            p.rssBytes = (static_cast<uint64_t>(100 + i) << 20) +
                         static_cast<uint64_t>((tick_ * (i + 3)) % 97) * 4096;
        } else if ((tick_ + i) % 120 == 0) {
            p.cpuUsedNS = 3'000'000; // a timer's wake-up every ten minutes
        }
        if (i == 0) {
            sentThisTick_ = 0;
        }
        if (i >= kSenders) {
            return;
        }
        for (int k = 0; k < 5; ++k) {
            const SocketSample& s = p.sockets[static_cast<size_t>((tick_ + k * 6) % 30)];
            const ConnectionCounters used{40'000 + static_cast<uint64_t>(i) * 100, 4'000};
            p.bytesUsed += used;
            reading_.endpoints.push_back(
                {static_cast<size_t>(i), s.protocol, s.remoteAddress, s.remotePort, used});
            sentThisTick_ += 4'000;
        }
        if (tick_ % 12 == i % 12) {
            const int64_t opened = tick_ / 12;
            const std::string remote = opened % 10 == 0 ? "2001:db8::" + std::to_string(fresh_++)
                                                        : poolAddress(static_cast<int>(opened) + i);
            p.sockets[static_cast<size_t>(opened % 30)] = tcpTo(remote, 443, nextPort());
        }
    }

    HistoryReading reading_;
    int64_t time_;
    int64_t tick_ = 0;
    uint64_t sentThisTick_ = 0;
    int port_ = 0;
    int fresh_ = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// This thread's CPU time: on a shared machine the wall clock also counts the
// time other programs held the cores.
double threadMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double megabytes(double bytes) {
    return bytes / 1e6;
}

// Bytes of the tables and indexes of each tier, and of the rest.
struct TierBytes {
    double reading = 0, minute = 0, hour = 0, rest = 0;
    double networks = 0; // of the above, the networks' own tables
};

TierBytes tierBytes(Database& db) {
    TierBytes bytes;
    Statement sizes = db.prepare("SELECT name, sum(pgsize) FROM dbstat GROUP BY name");
    while (sizes.step()) {
        const std::string name = sizes.text(0);
        const auto size = static_cast<double>(sizes.integer(1));
        if (name.starts_with("network")) {
            bytes.networks += size;
        }
        (name.ends_with("_reading")  ? bytes.reading
         : name.ends_with("_minute") ? bytes.minute
         : name.ends_with("_hour")   ? bytes.hour
                                     : bytes.rest) += size;
    }
    return bytes;
}

// The median wall and CPU times of a few runs of a question, in ms, and its rows.
struct Timed {
    double wall = 0, cpu = 0;
    size_t rows = 0;
};
template <typename Ask> Timed timed(Ask ask) {
    std::vector<double> walls, cpus;
    size_t rows = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        const double cpuStart = threadMs();
        rows = ask();
        cpus.push_back(threadMs() - cpuStart);
        walls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return {korvel::bench::median(walls), korvel::bench::median(cpus), rows};
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    char pattern[] = "/tmp/history-bench-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const HistoryPlace place{dir, "korvel"};
    std::string error;
    auto db = openHistoryForWriting(place, error,
                                    [](const std::string& m) { std::printf("%s\n", m.c_str()); });
    if (!db) {
        std::printf("cannot open %s: %s\n", place.path().c_str(), error.c_str());
        return 1;
    }
    HistoryStore store(std::move(*db));
    const HistoryLimits limits;
    const int64_t start = 1'700'000'000;
    DesktopLoad load(start);
    const int64_t perDay = kDay / o.period;

    std::printf("load: %d processes (%d busy, %d sending), 2000 sockets, one %d s reading a "
                "virtual %d s; %d days\n",
                kProcesses, kBusy, kSenders, o.period, o.period, o.days);
    std::printf("%4s %10s %10s %10s %10s %10s %10s %10s\n", "day", "used MB", "grew MB", "RSS MB",
                "p50 ms", "p99 ms", "max ms", "p99 CPU");
    // Every write's times, filled in place so that the store's memory is all
    // that grows from day to day.
    std::vector<double> all(static_cast<size_t>(o.days * perDay));
    std::vector<double> allCpu(all.size());
    size_t written = 0;
    // The log's copies into the database, made between writes.
    std::vector<double> checkpoints;
    checkpoints.reserve(all.size() / 20);
    double checkpointCpu = 0;
    uint64_t usedBefore = store.usedBytes();
    double firstDayGrowth = 0;
    long rssFirstDay = 0, rssLast = 0;
    int failures = 0;
    const auto feedStart = Clock::now();
    for (int day = 1; day <= o.days; ++day) {
        const auto dayStart = static_cast<std::ptrdiff_t>(written);
        for (int64_t n = 0; n < perDay; ++n, ++written) {
            const HistoryReading& reading = load.next(o.period);
            const auto before = Clock::now();
            const double cpuBefore = threadMs();
            failures += store.record(reading, limits) != 0;
            allCpu[written] = threadMs() - cpuBefore;
            all[written] = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
            const auto checkpointStart = Clock::now();
            const double checkpointCpuStart = threadMs();
            if (store.checkpointIfDue()) {
                checkpointCpu += threadMs() - checkpointCpuStart;
                checkpoints.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - checkpointStart)
                        .count());
            }
        }
        const auto dayEnd = static_cast<std::ptrdiff_t>(written);
        const std::vector<double> times(all.begin() + dayStart, all.begin() + dayEnd);
        const double p99Cpu =
            percentile({allCpu.begin() + dayStart, allCpu.begin() + dayEnd}, 0.99);
        const uint64_t used = store.usedBytes();
        const long rss = korvel::bench::statusKilobytes(::getpid(), "VmRSS");
        rssFirstDay = day == 1 ? rss : rssFirstDay;
        rssLast = rss;
        const double grew = static_cast<double>(used) - static_cast<double>(usedBefore);
        firstDayGrowth = day == 1 ? grew : firstDayGrowth;
        std::printf("%4d %10.1f %10.1f %10.1f %10.2f %10.2f %10.2f %10.2f\n", day,
                    megabytes(static_cast<double>(used)), megabytes(grew), rss / 1024.0,
                    percentile(times, 0.5), percentile(times, 0.99), percentile(times, 1), p99Cpu);
        std::fflush(stdout);
        usedBefore = used;
    }
    const double feedSeconds = std::chrono::duration<double>(Clock::now() - feedStart).count();
    const int64_t now = start + static_cast<int64_t>(o.days) * perDay * o.period;

    // A year: two days of readings, 30 of minutes, 365 of hours (every tier
    // is written as the readings come), and who ran.
    Database& live = store.database();
    const TierBytes tiers = tierBytes(live);
    const double readingPerDay = tiers.reading / std::min(o.days, 2);
    const double minutePerDay = tiers.minute / o.days;
    const double hourPerDay = tiers.hour / o.days;
    const double restPerDay = tiers.rest / o.days;
    const double year = 2 * readingPerDay + 30 * minutePerDay + 365 * hourPerDay + 365 * restPerDay;

    std::printf("\nfed %zu readings in %.0f s (%d failed)\n", all.size(), feedSeconds, failures);
    std::printf("%-44s %12s %12s\n", "figure", "measured", "goal");
    std::printf("%-44s %12.1f %12s\n", "growth of the first day, MB", megabytes(firstDayGrowth),
                "<= 15");
    std::printf("%-44s %12.1f\n", "  readings tier per day, MB", megabytes(readingPerDay));
    std::printf("%-44s %12.2f\n", "  minute tier per day, MB", megabytes(minutePerDay));
    std::printf("%-44s %12.3f\n", "  hour tier per day, MB", megabytes(hourPerDay));
    std::printf("%-44s %12.2f\n", "  processes and endpoints per day, MB", megabytes(restPerDay));
    const double allTiers = tiers.reading + tiers.minute + tiers.hour + tiers.rest;
    std::printf("%-44s %12.2f %12s\n", "  of all, the networks' records, %",
                100 * tiers.networks / allTiers, "<= 5");
    std::printf("%-44s %12.0f %12s\n", "a year at the defaults, uncapped, MB", megabytes(year),
                "<= 1000");
    std::printf("%-44s %12.0f %12s\n", "  under the 500 MiB cap, MB",
                std::min(megabytes(year), static_cast<double>(limits.maxBytes) / 1e6), "");
    std::printf("%-44s %12.2f\n", "write p50, ms", percentile(all, 0.5));
    std::printf("%-44s %12.2f %12s\n", "write p99, ms", percentile(all, 0.99), "<= 10");
    std::printf("%-44s %12.2f\n", "write CPU time p50, ms", percentile(allCpu, 0.5));
    std::printf("%-44s %12.2f\n", "write CPU time p99, ms", percentile(allCpu, 0.99));
    std::printf("%-44s %12zu\n", "checkpoints between writes", checkpoints.size());
    std::printf("%-44s %12.2f\n", "  checkpoint p50, ms", percentile(checkpoints, 0.5));
    std::printf("%-44s %12.2f\n", "  checkpoint max, ms", percentile(checkpoints, 1));
    double total = checkpointCpu;
    for (const double t : allCpu) {
        total += t;
    }
    std::printf("%-44s %12.3f %12s\n", "writer's share of a core, checkpoints too, %",
                100 * total / static_cast<double>(all.size()) / (o.period * 1000.0), "<= 0.5");
    std::printf("%-44s %12.1f %12s\n", "RSS growth after the first day, MB",
                (rssLast - rssFirstDay) / 1024.0, "flat");

    auto reader = Database::open(place.path(), true, error);
    if (!reader) {
        std::printf("cannot read %s: %s\n", place.path().c_str(), error.c_str());
        return 1;
    }
    const auto top = [&](int64_t span) {
        return timed([&] {
            return topUsage(*reader, {now - span, now + 1, {}, {}, 10}, Measure::total,
                            Grouping::process)
                .size();
        });
    };
    const int64_t week = std::min<int64_t>(7, o.days) * kDay;
    // The moment after the one at `time`, with its neighbours, as `top --at` steps.
    const auto step = [&](int64_t time) {
        return timed([&] {
            const auto from = stepAt(*reader, time);
            const auto to = from ? stepAfter(*reader, *from) : std::nullopt;
            return to ? momentOf(*reader, *to).processes.size() : size_t{0};
        });
    };
    const Timed questions[] = {
        top(3600),
        top(kDay),
        timed([&] {
            return topUsage(*reader, {now - week, now + 1, 1000, {}, 10}, Measure::total,
                            Grouping::process)
                .size();
        }),
        timed([&] {
            Statement series = reader->prepare(
                "SELECT u.time, u.resolution, u.cpu_ms, u.rss_kib, u.bytes_in, u.bytes_out "
                "FROM process_usage u JOIN process p ON p.id = u.process_id "
                "WHERE p.pid = ?1 AND u.time >= ?2 ORDER BY u.time");
            series.bind(1, int64_t{1000}).bind(2, now - week);
            size_t rows = 0;
            while (series.step()) {
                ++rows;
            }
            return rows;
        }),
        step(now - kDay),
        step(now - std::max(o.days - 1, 1) * kDay),
        timed([&] {
            // What `usage` asks of each network: the cycle, its days and its processes.
            korvel::usage::NetworkUsage usage(*reader);
            size_t rows = 0;
            for (const auto& network : usage.networks()) {
                const auto cycle = korvel::usage::calendarMonth(now);
                korvel::usage::accountOf(usage, network, std::nullopt, cycle, now);
                rows += usage.days(network.id, cycle).size() +
                        usage.processes(network.id, cycle).size();
            }
            return rows;
        })};
    const char* const names[][2] = {{"top talkers of the last hour", "<= 50"},
                                    {"top talkers of the last 24 h", "<= 300"},
                                    {"one process's week, its totals", "<= 100"},
                                    {"one process's week, every row", "<= 100"},
                                    {"a step of top --at, a day back (readings)", "<= 100"},
                                    {"  and days back (minutes past 48 h)", "<= 100"},
                                    {"usage: each network's month, days, processes", "<= 100"}};
    std::printf("\n%-44s %12s %12s %12s %8s\n", "question", "wall ms", "CPU ms", "goal", "rows");
    for (size_t i = 0; i < std::size(questions); ++i) {
        std::printf("%-44s %12.1f %12.1f %12s %8zu\n", names[i][0], questions[i].wall,
                    questions[i].cpu, names[i][1], questions[i].rows);
    }

    if (o.keep) {
        std::printf("kept: %s\n", place.path().c_str());
    } else {
        std::filesystem::remove_all(dir);
    }
    return 0;
}
