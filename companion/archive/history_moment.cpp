#include "companion/archive/history_moment.h"

#include "companion/archive/history_schema.h"
#include "companion/archive/reading_packing.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace korvel::history {
namespace {

// The store lets a running process's last_seen lag by up to this much.
constexpr int64_t kLastSeenSlack = 60;
// How far back a reading's packed rows are read for memory and sockets,
// which are packed only where they changed; past that, their hour's figures.
constexpr int64_t kLookback = 600;
constexpr int64_t kEarliest = std::numeric_limits<int64_t>::min() / 2;

int64_t lengthOf(size_t tier) {
    return std::max<int64_t>(kTiers[tier].bucketSeconds, 1);
}

std::string table(size_t kind, size_t tier) {
    return tierTable(usageKinds()[kind], kTiers[tier]);
}

// The latest (or earliest) step within [from, to], less its own length when
// `trim`. A bucket counts only while no finer tier holds any of it, and on
// a tie the finer tier wins.
std::optional<Step> nearest(Database& db, int64_t from, int64_t to, bool latest, bool trim) {
    std::optional<Step> best;
    int64_t finerBegins = kNoTime;
    for (size_t tier = 0; tier < std::size(kTiers); ++tier) {
        const int64_t until =
            std::min(to - (trim ? lengthOf(tier) : 0), finerBegins - lengthOf(tier));
        if (from <= until) {
            Statement query =
                db.prepare(std::string("SELECT ") + (latest ? "max" : "min") + "(time) FROM " +
                           table(2, tier) + " WHERE time BETWEEN ?1 AND ?2");
            const auto time = query.bind(1, from).bind(2, until).integerValue();
            if (time && (!best || (latest ? *time > best->time : *time < best->time))) {
                best = Step{*time, tier};
            }
        }
        const auto first = db.prepare("SELECT min(time) FROM " + table(2, tier)).integerValue();
        finerBegins = std::min(finerBegins, first.value_or(kNoTime));
    }
    return best;
}

// What the rows of one step say of one process.
struct Seen {
    int64_t cpuMS = 0, in = 0, out = 0;
    std::optional<int64_t> rssKib, tcp, udp;
};

void unpackRows(Database& db, const Step& step, std::unordered_map<int64_t, Seen>& seen) {
    const int64_t minute = step.time / 60 * 60;
    Statement rows = db.prepare("SELECT time, process_id, readings FROM process_reading "
                                "WHERE time BETWEEN ?1 AND ?2 ORDER BY time");
    rows.bind(1, minute - kLookback).bind(2, minute);
    while (rows.step()) {
        Seen& process = seen[rows.integer(1)];
        for (const PackedReading& r : unpackReadings(rows.blob(2))) {
            const int64_t time = rows.integer(0) + r.second;
            if (time > step.time) {
                break;
            }
            const auto value = [&](PackedField f) { return static_cast<int64_t>(*r[f]); };
            if (r[PackedField::rssKib]) {
                process.rssKib = value(PackedField::rssKib);
            }
            if (r[PackedField::tcpSockets]) { // packed together with the UDP count
                process.tcp = value(PackedField::tcpSockets);
                process.udp = r[PackedField::udpSockets] ? value(PackedField::udpSockets) : 0;
            }
            if (time == step.time) {
                process.cpuMS = r[PackedField::cpuMS] ? value(PackedField::cpuMS) : 0;
                process.in = r[PackedField::bytesIn] ? value(PackedField::bytesIn) : 0;
                process.out = r[PackedField::bytesOut] ? value(PackedField::bytesOut) : 0;
            }
        }
    }
}

void readBucket(Database& db, const Step& step, std::unordered_map<int64_t, Seen>& seen) {
    Statement rows = db.prepare("SELECT process_id, cpu_ms, rss_kib, bytes_in, bytes_out, "
                                "tcp_sockets, udp_sockets FROM " +
                                table(0, step.tier) + " WHERE time = ?1");
    rows.bind(1, step.time);
    while (rows.step()) {
        seen[rows.integer(0)] = {rows.integer(1), rows.integer(3), rows.integer(4),
                                 rows.integer(2), rows.integer(5), rows.integer(6)};
    }
}

MomentProcess processOf(const Statement& row) {
    MomentProcess p;
    p.pid = static_cast<int32_t>(row.integer(1));
    p.name = row.text(2);
    p.executable = row.optionalText(3);
    if (const auto uid = row.optionalInteger(4)) {
        p.uid = static_cast<uint32_t>(*uid);
    }
    p.user = row.optionalText(5);
    p.unit = row.optionalText(6);
    p.appId = row.optionalText(7);
    p.container = row.optionalText(8);
    return p;
}

constexpr const char* kProcessColumns =
    "SELECT id, pid, name, executable, uid, user, unit, app_id, container FROM process ";

void addProcesses(Database& db, Moment& moment, std::unordered_map<int64_t, Seen>& seen) {
    const int64_t end = moment.step.time + lengthOf(moment.step.tier) - 1;
    Statement alive = db.prepare(std::string(kProcessColumns) +
                                 "WHERE last_seen >= ?1 - ?3 AND first_seen <= ?2 AND "
                                 "(ended = 0 OR last_seen >= ?1)");
    alive.bind(1, moment.step.time).bind(2, end).bind(3, kLastSeenSlack);
    std::unordered_map<int64_t, size_t> listed;
    while (alive.step()) {
        listed[alive.integer(0)] = moment.processes.size();
        moment.processes.push_back(processOf(alive));
    }
    // Usage in the step is proof enough of life, whatever last_seen says.
    Statement byId = db.prepare(std::string(kProcessColumns) + "WHERE id = ?1");
    for (const auto& [id, s] : seen) {
        const bool used = s.cpuMS > 0 || s.in > 0 || s.out > 0 || moment.step.tier > 0;
        if (used && !listed.contains(id) && byId.bind(1, id).step()) {
            listed[id] = moment.processes.size();
            moment.processes.push_back(processOf(byId));
        }
        byId.reset();
    }
    Statement lastHour = db.prepare("SELECT rss_kib, tcp_sockets, udp_sockets FROM process_hour "
                                    "WHERE process_id = ?1 AND time <= ?2 ORDER BY time DESC "
                                    "LIMIT 1");
    const double seconds = static_cast<double>(moment.seconds);
    for (const auto& [id, index] : listed) {
        Seen& s = seen[id];
        if ((!s.rssKib || !s.tcp) && lastHour.bind(1, id).bind(2, moment.step.time).step()) {
            s.rssKib = s.rssKib.value_or(lastHour.integer(0));
            s.tcp = s.tcp.value_or(lastHour.integer(1));
            s.udp = s.udp.value_or(lastHour.integer(2));
        }
        lastHour.reset();
        MomentProcess& p = moment.processes[index];
        p.rssBytes = static_cast<uint64_t>(s.rssKib.value_or(0)) * 1024;
        p.tcpSockets = s.tcp.value_or(0);
        p.udpSockets = s.udp.value_or(0);
        if (seconds > 0) {
            p.cpuPercent = static_cast<double>(s.cpuMS) / 10 / seconds;
            p.rateIn = static_cast<double>(s.in) / seconds;
            p.rateOut = static_cast<double>(s.out) / seconds;
        }
    }
}

void addSystemAndInterfaces(Database& db, Moment& moment) {
    Statement system = db.prepare("SELECT cpu_percent, load_1m, memory_total, memory_used, "
                                  "memory_pressure, gpu_percent, cpu_temperature, "
                                  "gpu_temperature FROM " +
                                  table(2, moment.step.tier) + " WHERE time = ?1");
    if (system.bind(1, moment.step.time).step()) {
        MomentSystem& s = moment.system;
        s.cpuPercent = system.real(0);
        s.load1m = system.real(1);
        s.memoryTotal = static_cast<uint64_t>(system.integer(2));
        s.memoryUsed = static_cast<uint64_t>(system.integer(3));
        s.memoryPressure = static_cast<int>(system.integer(4));
        s.gpuPercent = system.optionalReal(5);
        s.cpuTemperature = system.optionalReal(6);
        s.gpuTemperature = system.optionalReal(7);
    }
    Statement interfaces =
        db.prepare("SELECT interface, bytes_in, bytes_out FROM " + table(1, moment.step.tier) +
                   " WHERE time = ?1 ORDER BY bytes_in + bytes_out DESC, 1");
    interfaces.bind(1, moment.step.time);
    const double seconds = static_cast<double>(std::max<int64_t>(moment.seconds, 1));
    while (interfaces.step()) {
        moment.interfaces.push_back({interfaces.text(0),
                                     static_cast<double>(interfaces.integer(1)) / seconds,
                                     static_cast<double>(interfaces.integer(2)) / seconds});
    }
}

} // namespace

std::optional<Step> stepAt(Database& db, int64_t time) {
    auto step = nearest(db, kEarliest, time, true, false);
    return step ? step : nearest(db, time, kNoTime, false, false);
}

std::optional<Step> stepBefore(Database& db, const Step& step) {
    return nearest(db, kEarliest, step.time, true, true);
}

std::optional<Step> stepAfter(Database& db, const Step& step) {
    return nearest(db, step.time + lengthOf(step.tier), kNoTime, false, false);
}

Moment momentOf(Database& db, const Step& step) {
    Moment moment;
    moment.step = step;
    moment.previous = stepBefore(db, step);
    moment.next = stepAfter(db, step);
    moment.seconds = kTiers[step.tier].bucketSeconds;
    std::unordered_map<int64_t, Seen> seen;
    if (step.tier == 0) {
        Statement before = db.prepare("SELECT max(time) FROM system_reading WHERE time < ?1");
        const auto previous = before.bind(1, step.time).integerValue();
        moment.seconds = previous ? step.time - *previous : 0;
        unpackRows(db, step, seen);
    } else {
        readBucket(db, step, seen);
    }
    addProcesses(db, moment, seen);
    addSystemAndInterfaces(db, moment);
    return moment;
}

} // namespace korvel::history
