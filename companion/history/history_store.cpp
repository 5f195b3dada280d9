#include "companion/history/history_store.h"

#include "companion/archive/reading_packing.h"
#include "platform/program/user_name.h"

#include <algorithm>
#include <cmath>
#include <sqlite3.h>

namespace korvel::history {
namespace {

// A row's last_seen may lag the truth by this much while nothing else changes.
constexpr int64_t kLastSeenSlack = 60;
// A process started before the engine's last stop is found again by its
// start, which each helper reads against a boot time of its own.
constexpr double kStartTimeJitter = 2;
// The row of TCP bytes no process accounts for: no process has pid 0.
constexpr const char* kOtherTcpName = "other TCP";
// Resident memory moving by less than this alone is not a change worth a
// reading; the minute and hour buckets still keep the peak of those written.
constexpr uint64_t kRssStepKib = 1024;

bool rssMoved(uint64_t kib, std::optional<uint64_t> written) {
    if (!written) {
        return true;
    }
    const uint64_t step = std::max(kRssStepKib, *written / 64);
    return kib >= *written + step || kib + step <= *written;
}

// A stored total with more added: it stays at the largest integer SQLite
// keeps rather than wrap below zero.
int64_t addedCount(int64_t total, uint64_t more) {
    return static_cast<int64_t>(std::min<uint64_t>(
        saturatingAdd(static_cast<uint64_t>(std::max<int64_t>(total, 0)), more), INT64_MAX));
}

int64_t wholeSeconds(double seconds) {
    return static_cast<int64_t>(std::llround(seconds));
}

bool sameStart(const std::optional<double>& a, const std::optional<double>& b) {
    return sameProcess({0, a.value_or(0)}, {0, b.value_or(0)});
}

} // namespace

struct HistoryStore::LiveProcess {
    int64_t row = 0;
    std::optional<double> startTime;
    uint64_t countedNS = 0; // CPU time counted for the row, the stored total included
    int64_t writtenMS = 0;
    uint64_t gpuCountedNS = 0; // GPU time likewise, as written into the buckets
    int64_t gpuWrittenMS = 0;
    std::optional<uint64_t> packedRssKib; // the last written into a packed reading
    int64_t packedMinute = -1;
    int packedSecond = 0; // of the last reading packed in packedMinute
    int packedGap = 0;    // between the last two there, 0 while there is no second
    uint64_t peakRss = 0;
    uint64_t totalIn = 0;
    uint64_t totalOut = 0;
    int64_t tcpSockets = -1;
    int64_t udpSockets = -1;
    int64_t lastSeen = 0;
    int64_t lastSeenWritten = 0;
    int64_t listedAt = 0; // the last reading that listed it running
    bool totalsChanged = false;
};

struct HistoryStore::ProcessUsage {
    int64_t cpuMS = 0;
    uint64_t rssKib = 0;
    uint64_t in = 0;
    uint64_t out = 0;
    int64_t tcp = 0;
    int64_t udp = 0;
    int64_t gpuMS = 0;
    uint64_t diskRead = 0;
    uint64_t diskWrite = 0;
};

struct HistoryStore::LiveEndpoint {
    int64_t id = 0;
    std::optional<int64_t> bytesIn; // null while nothing counts its bytes (UDP)
    std::optional<int64_t> bytesOut;
    int64_t lastSeen = 0;
    int64_t lastSeenWritten = 0;
    bool changed = false;
    bool named = false;
    std::optional<std::string> newHostName; // to write with the next update
};

HistoryStore::HistoryStore(Database db) : db_(std::move(db)), tiers_(db_), networks_(db_) {
    db_.countLogFrames();
    // A process still open in the database was cut off by the last stop; its
    // row goes on if the first reading still sees it.
    db_.execute("UPDATE process SET ended = 1 WHERE ended = 0");
    findProcess_ = db_.prepare(
        "SELECT id, cpu_ms, peak_rss, tcp_bytes_in, tcp_bytes_out FROM process "
        "WHERE pid = ?1 AND start_time BETWEEN ?2 - ?3 AND ?2 + ?3 ORDER BY id DESC LIMIT 1");
    addProcess_ = db_.prepare(
        "INSERT INTO process (pid, start_time, name, executable, uid, user, unit, app_id, "
        "container, first_seen, last_seen, script) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?10, ?11)");
    updateProcess_ =
        db_.prepare("UPDATE process SET last_seen = ?2, ended = 0, cpu_ms = ?3, peak_rss = ?4, "
                    "tcp_bytes_in = ?5, tcp_bytes_out = ?6 WHERE id = ?1");
    // Totals alone leave last_seen and its index be, until the slack is up.
    updateProcessTotals_ = db_.prepare("UPDATE process SET cpu_ms = ?3, peak_rss = ?4, "
                                       "tcp_bytes_in = ?5, tcp_bytes_out = ?6 WHERE id = ?1");
    endProcess_ = db_.prepare("UPDATE process SET ended = 1, last_seen = ?2 WHERE id = ?1");
    // A minute's row may have been begun before a restart: readings append.
    addReading_ =
        db_.prepare("INSERT INTO process_reading (time, process_id, readings) VALUES (?1, ?2, ?3) "
                    "ON CONFLICT (time, process_id) DO UPDATE SET "
                    "readings = CAST(readings || excluded.readings AS BLOB)");
    for (size_t tier = 1; tier < std::size(kTiers); ++tier) {
        const auto& kinds = usageKinds();
        processBuckets_[tier - 1] = db_.prepare(bucketUpsertSql(kinds[0], kTiers[tier]));
        interfaceBuckets_[tier - 1] = db_.prepare(bucketUpsertSql(kinds[1], kTiers[tier]));
        systemBuckets_[tier - 1] = db_.prepare(bucketUpsertSql(kinds[2], kTiers[tier]));
    }
    addEndpoint_ = db_.prepare(
        "INSERT INTO endpoint (process_id, protocol, remote_address, remote_port, first_seen, "
        "last_seen, bytes_in, bytes_out) VALUES (?1, ?2, ?3, ?4, ?5, ?5, ?6, ?6) "
        "ON CONFLICT (process_id, protocol, remote_address, remote_port) "
        "DO UPDATE SET last_seen = iif(?7, excluded.last_seen, last_seen) "
        "RETURNING id, bytes_in, bytes_out, last_seen");
    updateEndpoint_ =
        db_.prepare("UPDATE endpoint SET last_seen = ?2, bytes_in = ?3, "
                    "bytes_out = ?4, host_name = coalesce(?5, host_name) WHERE id = ?1");
    updateEndpointBytes_ = db_.prepare("UPDATE endpoint SET bytes_in = ?3, bytes_out = ?4, "
                                       "host_name = coalesce(?5, host_name) WHERE id = ?1");
    addInterface_ = db_.prepare(
        "INSERT INTO interface_reading (time, interface, bytes_in, bytes_out) "
        "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (time, interface) DO UPDATE SET "
        "bytes_in = bytes_in + excluded.bytes_in, bytes_out = bytes_out + excluded.bytes_out");
    addSystem_ = db_.prepare(
        "INSERT OR REPLACE INTO system_reading (time, readings, cpu_percent, load_1m, "
        "memory_total, memory_used, memory_free, memory_pressure, gpu_percent, cpu_temperature, "
        "gpu_temperature) VALUES (?1, 1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
}

HistoryStore::~HistoryStore() = default;

int HistoryStore::record(const HistoryReading& reading, const HistoryLimits& limits) {
    // The write-ahead log counts against the cap: a few per cent of it, 2 MiB
    // at most, and up to one transaction more between checkpoints; a
    // reading's transaction touches a dozen pages or so.
    const uint64_t pages = std::clamp<uint64_t>(limits.maxBytes / 4096 / 40, 16, 512);
    if (limits.maxBytes != logLimitFor_) {
        logLimitFor_ = limits.maxBytes;
        logPages_ = pages;
        db_.execute(("PRAGMA journal_size_limit = " + std::to_string(pages * 4096)).c_str());
    }
    int rc = db_.execute("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        forget(); // nothing was begun, so there is nothing to roll back
        return rc;
    }
    rc = write(reading);
    rc = rc == SQLITE_OK ? db_.execute("COMMIT") : rc;
    if (rc != SQLITE_OK) {
        db_.execute("ROLLBACK");
        forget();
        return rc;
    }
    rc = tiers_.compact(reading.time, limits);
    return rc == SQLITE_OK ? tiers_.enforceCap(limits.maxBytes - 2 * pages * 4096, reading.time)
                           : rc;
}

bool HistoryStore::checkpointIfDue() {
    if (logPages_ == 0 || static_cast<uint64_t>(db_.logFrames()) < logPages_) {
        return false;
    }
    db_.execute("PRAGMA wal_checkpoint(PASSIVE)");
    return true;
}

void HistoryStore::forget() {
    networks_.forget();
    processes_.clear();
    otherTcp_.reset();
    endpoints_.clear();
}

int HistoryStore::write(const HistoryReading& reading) {
    std::vector<LiveProcess*> rows(reading.processes.size(), nullptr);
    for (size_t i = 0; i < reading.processes.size(); ++i) {
        if (const int rc = writeProcess(reading.processes[i], reading.time, rows[i]);
            rc != SQLITE_OK) {
            return rc;
        }
    }
    for (const EndpointUse& use : reading.endpoints) {
        int rc = SQLITE_OK;
        if (use.process >= rows.size() || rows[use.process] == nullptr) {
            continue;
        }
        LiveEndpoint* endpoint = endpointFor(*rows[use.process], use.protocol, use.remoteAddress,
                                             use.remotePort, reading.time, false, rc);
        if (endpoint == nullptr) {
            return rc;
        }
        endpoint->bytesIn = addedCount(endpoint->bytesIn.value_or(0), use.used.bytesIn);
        endpoint->bytesOut = addedCount(endpoint->bytesOut.value_or(0), use.used.bytesOut);
        endpoint->changed = true;
    }
    int rc = writeOtherTcp(reading.otherTcp, reading.time);
    rc = rc == SQLITE_OK ? endMissing(reading.time) : rc;
    rc = rc == SQLITE_OK ? writeEndpoints(reading.time) : rc;
    rc = rc == SQLITE_OK ? writeInterfaces(reading) : rc;
    if (rc == SQLITE_OK && !reading.networks.empty()) {
        std::vector<int64_t> processRows(rows.size(), 0);
        for (size_t i = 0; i < rows.size(); ++i) {
            processRows[i] = rows[i] != nullptr ? rows[i]->row : 0;
        }
        rc = networks_.write(reading, processRows);
    }
    return rc == SQLITE_OK ? writeSystem(reading) : rc;
}

int HistoryStore::findOrAddProcess(const ProcessSample& sample, int64_t time, LiveProcess& live) {
    if (sample.startTime) {
        findProcess_.bind(1, int64_t{sample.pid})
            .bind(2, wholeSeconds(*sample.startTime))
            .bind(3, int64_t{static_cast<int64_t>(kStartTimeJitter)});
        if (findProcess_.step()) {
            live.row = findProcess_.integer(0);
            live.writtenMS = findProcess_.integer(1);
            live.countedNS = static_cast<uint64_t>(live.writtenMS) * 1000000;
            live.peakRss = static_cast<uint64_t>(findProcess_.integer(2));
            live.totalIn = static_cast<uint64_t>(findProcess_.integer(3));
            live.totalOut = static_cast<uint64_t>(findProcess_.integer(4));
        }
        findProcess_.reset();
        live.lastSeen = time;
        if (live.row != 0) {
            return SQLITE_OK;
        }
    }
    std::optional<std::string> user;
    if (sample.uid) {
        user = platform::userName(*sample.uid);
    }
    addProcess_.bind(1, int64_t{sample.pid})
        .bind(2, sample.startTime ? std::optional<int64_t>(wholeSeconds(*sample.startTime))
                                  : std::nullopt)
        .bind(3, std::string_view(sample.name))
        .bind(4, sample.executable)
        .bind(5, sample.uid ? std::optional<int64_t>(*sample.uid) : std::nullopt)
        .bind(6, user)
        .bind(7, sample.unit)
        .bind(8, sample.appId)
        .bind(9, sample.container)
        .bind(10, time)
        .bind(11, sample.script);
    const int rc = addProcess_.run();
    live.row = rc == SQLITE_OK ? db_.lastInsertRowId() : 0;
    live.lastSeen = time;
    return rc;
}

int HistoryStore::writeProcess(const ProcessSample& sample, int64_t time, LiveProcess*& written) {
    auto found = processes_.find(sample.pid);
    if (found != processes_.end() && !sameStart(found->second.startTime, sample.startTime)) {
        // The pid was reused: the old process ended at its last reading.
        endProcess_.bind(1, found->second.row).bind(2, found->second.lastSeen);
        if (const int rc = endProcess_.run(); rc != SQLITE_OK) {
            return rc;
        }
        processes_.erase(found);
        found = processes_.end();
    }
    const bool known = found != processes_.end();
    LiveProcess& live = known ? found->second : processes_[sample.pid];
    if (!known) {
        live.startTime = sample.startTime;
        if (const int rc = findOrAddProcess(sample, time, live); rc != SQLITE_OK) {
            return rc;
        }
        live.totalsChanged = true;
    }
    written = &live;
    live.countedNS = saturatingAdd(live.countedNS, sample.cpuUsedNS);
    const auto countedMS = static_cast<int64_t>(live.countedNS / 1000000);
    const int64_t cpuMS = countedMS - live.writtenMS;
    live.gpuCountedNS = saturatingAdd(live.gpuCountedNS, sample.gpuUsedNS);
    const auto gpuCountedMS = static_cast<int64_t>(live.gpuCountedNS / 1000000);
    int64_t tcp = 0, udp = 0;
    for (const auto& socket : sample.sockets) {
        ++(socket.isUdp() ? udp : tcp);
    }
    // One that ended since the last reading is written where it was last
    // seen: its usage rows stay within its life.
    const int64_t at = sample.running ? time : live.lastSeen;
    const ProcessUsage usage{cpuMS,
                             sample.running ? sample.rssBytes / 1024
                                            : live.packedRssKib.value_or(live.peakRss / 1024),
                             sample.bytesUsed.bytesIn,
                             sample.bytesUsed.bytesOut,
                             sample.running ? tcp : std::max<int64_t>(live.tcpSockets, 0),
                             sample.running ? udp : std::max<int64_t>(live.udpSockets, 0),
                             gpuCountedMS - live.gpuWrittenMS,
                             sample.diskReadUsed,
                             sample.diskWriteUsed};
    if (const int rc = writeUsage(live, at, usage); rc != SQLITE_OK) {
        return rc;
    }
    live.gpuWrittenMS = gpuCountedMS;
    live.totalsChanged |=
        cpuMS > 0 || sample.bytesUsed.any() || (sample.running && sample.rssBytes > live.peakRss);
    live.writtenMS = countedMS;
    if (sample.running) {
        live.peakRss = std::max(live.peakRss, sample.rssBytes);
        live.lastSeen = time;
        live.listedAt = time;
    }
    live.totalIn = saturatingAdd(live.totalIn, sample.bytesUsed.bytesIn);
    live.totalOut = saturatingAdd(live.totalOut, sample.bytesUsed.bytesOut);
    const int rc = writeTotals(live, time);
    return rc == SQLITE_OK && sample.running ? writeSockets(sample, live, time) : rc;
}

int HistoryStore::writeTotals(LiveProcess& live, int64_t time) {
    const bool seenDue = live.lastSeen == time && time - live.lastSeenWritten >= kLastSeenSlack;
    if (!live.totalsChanged && !seenDue) {
        return SQLITE_OK;
    }
    Statement& update = seenDue ? updateProcess_ : updateProcessTotals_;
    update.bind(1, live.row)
        .bind(2, live.lastSeen)
        .bind(3, live.writtenMS)
        .bind(4, live.peakRss)
        .bind(5, live.totalIn)
        .bind(6, live.totalOut);
    if (const int rc = update.run(); rc != SQLITE_OK) {
        return rc;
    }
    live.lastSeenWritten = seenDue ? time : live.lastSeenWritten;
    live.totalsChanged = false;
    return SQLITE_OK;
}

int HistoryStore::writeUsage(LiveProcess& live, int64_t time, const ProcessUsage& usage) {
    const bool rssChanged = rssMoved(usage.rssKib, live.packedRssKib);
    const bool socketsChanged = usage.tcp != live.tcpSockets || usage.udp != live.udpSockets;
    const bool packs =
        usage.cpuMS != 0 || usage.in != 0 || usage.out != 0 || rssChanged || socketsChanged;
    if (packs) {
        if (const int rc = packUsage(live, time, usage, rssChanged); rc != SQLITE_OK) {
            return rc;
        }
    } else if (usage.gpuMS == 0 && usage.diskRead == 0 && usage.diskWrite == 0) {
        return SQLITE_OK;
    }
    for (size_t tier = 1; tier < std::size(kTiers); ++tier) {
        const int64_t bucket = kTiers[tier].bucketSeconds;
        const int rc = processBuckets_[tier - 1]
                           .bind(1, time / bucket * bucket)
                           .bind(2, live.row)
                           .bind(3, usage.cpuMS)
                           .bind(4, usage.rssKib)
                           .bind(5, usage.in)
                           .bind(6, usage.out)
                           .bind(7, usage.tcp)
                           .bind(8, usage.udp)
                           .bind(9, usage.gpuMS)
                           .bind(10, usage.diskRead)
                           .bind(11, usage.diskWrite)
                           .run();
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

// The packed reading holds CPU, memory, TCP and sockets; GPU time and storage
// bytes are kept in the buckets only.
int HistoryStore::packUsage(LiveProcess& live, int64_t time, const ProcessUsage& usage,
                            bool rssChanged) {
    const bool socketsChanged = usage.tcp != live.tcpSockets || usage.udp != live.udpSockets;
    const int64_t minute = time / 60 * 60;
    const bool firstOfMinute = minute != live.packedMinute;
    PackedReading packed;
    packed.second = static_cast<int>(time - minute);
    const int gap = packed.second - live.packedSecond;
    const bool followsGap = !firstOfMinute && live.packedGap > 0 && gap == live.packedGap;
    const auto counted = [](uint64_t value) {
        return value > 0 ? std::optional<uint64_t>(value) : std::nullopt;
    };
    packed[PackedField::cpuMS] = counted(static_cast<uint64_t>(usage.cpuMS));
    packed[PackedField::bytesIn] = counted(usage.in);
    packed[PackedField::bytesOut] = counted(usage.out);
    if (rssChanged) {
        packed[PackedField::rssKib] = usage.rssKib;
    }
    if (socketsChanged) {
        packed[PackedField::tcpSockets] = static_cast<uint64_t>(usage.tcp);
        packed[PackedField::udpSockets] = static_cast<uint64_t>(usage.udp);
    }
    std::string bytes;
    appendPacked(bytes, packed, followsGap);
    if (const int rc = addReading_.bind(1, minute).bind(2, live.row).bindBlob(3, bytes).run();
        rc != SQLITE_OK) {
        return rc;
    }
    live.packedRssKib = rssChanged ? usage.rssKib : live.packedRssKib;
    live.packedMinute = minute;
    live.packedGap = firstOfMinute ? 0 : gap;
    live.packedSecond = packed.second;
    live.tcpSockets = usage.tcp;
    live.udpSockets = usage.udp;
    return SQLITE_OK;
}

HistoryStore::LiveEndpoint* HistoryStore::endpointFor(const LiveProcess& owner,
                                                      const std::string& protocol,
                                                      const std::string& address, uint16_t port,
                                                      int64_t time, bool seen, int& rc) {
    auto [slot, added] = endpoints_.try_emplace({owner.row, protocol, address, port});
    LiveEndpoint& endpoint = slot->second;
    if (added) {
        addEndpoint_.bind(1, owner.row)
            .bind(2, std::string_view(protocol))
            .bind(3, std::string_view(address))
            .bind(4, int64_t{port})
            .bind(5, time)
            .bind(7, int64_t{seen});
        protocol.starts_with("UDP") ? addEndpoint_.bindNull(6) : addEndpoint_.bind(6, int64_t{0});
        if (!addEndpoint_.step()) {
            rc =
                addEndpoint_.resultCode() == SQLITE_DONE ? SQLITE_ERROR : addEndpoint_.resultCode();
            addEndpoint_.reset();
            endpoints_.erase(slot);
            return nullptr;
        }
        endpoint.id = addEndpoint_.integer(0);
        endpoint.bytesIn = addEndpoint_.optionalInteger(1);
        endpoint.bytesOut = addEndpoint_.optionalInteger(2);
        endpoint.lastSeen = endpoint.lastSeenWritten = addEndpoint_.integer(3);
        endpoint.changed = true;
        addEndpoint_.run();
    }
    // A socket's last bytes, heard as it ended, do not make it seen.
    endpoint.lastSeen = seen ? time : endpoint.lastSeen;
    return &endpoint;
}

int HistoryStore::writeSockets(const ProcessSample& sample, const LiveProcess& live, int64_t time) {
    for (const auto& socket : sample.sockets) {
        if (!socket.hasRemote()) {
            continue;
        }
        int rc = SQLITE_OK;
        LiveEndpoint* endpoint = endpointFor(live, socket.protocol, socket.remoteAddress,
                                             socket.remotePort, time, true, rc);
        if (endpoint == nullptr) {
            return rc;
        }
        if (socket.hostName && !endpoint->named) {
            endpoint->newHostName = socket.hostName;
            endpoint->named = endpoint->changed = true;
        }
    }
    return SQLITE_OK;
}

int HistoryStore::writeOtherTcp(const ConnectionCounters& used, int64_t time) {
    if (!used.any()) {
        return SQLITE_OK;
    }
    if (!otherTcp_) {
        ProcessSample other;
        other.startTime = 0;
        other.name = kOtherTcpName;
        otherTcp_ = std::make_unique<LiveProcess>();
        otherTcp_->startTime = 0;
        if (const int rc = findOrAddProcess(other, time, *otherTcp_); rc != SQLITE_OK) {
            otherTcp_.reset();
            return rc;
        }
    }
    LiveProcess& live = *otherTcp_;
    const int rc = writeUsage(live, time, {0, 0, used.bytesIn, used.bytesOut, 0, 0});
    if (rc != SQLITE_OK) {
        return rc;
    }
    live.totalIn = saturatingAdd(live.totalIn, used.bytesIn);
    live.totalOut = saturatingAdd(live.totalOut, used.bytesOut);
    live.lastSeen = time;
    live.totalsChanged = true;
    return writeTotals(live, time);
}

int HistoryStore::endMissing(int64_t time) {
    for (auto it = processes_.begin(); it != processes_.end();) {
        if (it->second.listedAt == time) {
            ++it;
            continue;
        }
        endProcess_.bind(1, it->second.row).bind(2, it->second.lastSeen);
        if (const int rc = endProcess_.run(); rc != SQLITE_OK) {
            return rc;
        }
        it = processes_.erase(it);
    }
    return SQLITE_OK;
}

int HistoryStore::writeEndpoints(int64_t time) {
    for (auto it = endpoints_.begin(); it != endpoints_.end();) {
        LiveEndpoint& endpoint = it->second;
        const bool closed = endpoint.lastSeen != time; // kept while a socket to it is open
        const bool seenDue = endpoint.lastSeen > endpoint.lastSeenWritten &&
                             (closed || time - endpoint.lastSeenWritten >= kLastSeenSlack);
        if (endpoint.changed || seenDue) {
            Statement& update = seenDue ? updateEndpoint_ : updateEndpointBytes_;
            update.bind(1, endpoint.id)
                .bind(2, endpoint.lastSeen)
                .bind(3, endpoint.bytesIn)
                .bind(4, endpoint.bytesOut)
                .bind(5, endpoint.newHostName);
            if (const int rc = update.run(); rc != SQLITE_OK) {
                return rc;
            }
            endpoint.newHostName.reset();
            endpoint.lastSeenWritten = seenDue ? endpoint.lastSeen : endpoint.lastSeenWritten;
            endpoint.changed = false;
        }
        it = closed ? endpoints_.erase(it) : std::next(it);
    }
    return SQLITE_OK;
}

int HistoryStore::writeInterfaces(const HistoryReading& reading) {
    for (const auto& sample : reading.interfaces) {
        const uint64_t in = sample.used.bytesIn;
        const uint64_t out = sample.used.bytesOut;
        if (in == 0 && out == 0) {
            continue;
        }
        for (size_t tier = 0; tier < std::size(kTiers); ++tier) {
            const int64_t bucket = std::max<int64_t>(kTiers[tier].bucketSeconds, 1);
            Statement& add = tier == 0 ? addInterface_ : interfaceBuckets_[tier - 1];
            add.bind(1, reading.time / bucket * bucket)
                .bind(2, std::string_view(sample.name))
                .bind(3, in)
                .bind(4, out);
            if (const int rc = add.run(); rc != SQLITE_OK) {
                return rc;
            }
        }
    }
    return SQLITE_OK;
}

namespace {

// The system figures from parameter first on, in the order both the reading
// and the bucket statements take them.
Statement& bindSystemFigures(Statement& statement, int first, const SystemSample& s) {
    return statement.bind(first, s.cpuPercent)
        .bind(first + 1, s.load1m)
        .bind(first + 2, s.memoryTotal)
        .bind(first + 3, s.memoryUsed)
        .bind(first + 4, s.memoryFree)
        .bind(first + 5, int64_t{s.memoryPressure})
        .bind(first + 6, s.gpuPercent)
        .bind(first + 7, s.cpuTemperature)
        .bind(first + 8, s.gpuTemperature);
}

} // namespace

int HistoryStore::writeSystem(const HistoryReading& reading) {
    int rc = bindSystemFigures(addSystem_.bind(1, reading.time), 2, reading.system).run();
    for (size_t tier = 1; tier < std::size(kTiers) && rc == SQLITE_OK; ++tier) {
        const int64_t bucket = kTiers[tier].bucketSeconds;
        Statement& add = systemBuckets_[tier - 1];
        rc = bindSystemFigures(add.bind(1, reading.time / bucket * bucket).bind(2, int64_t{1}), 3,
                               reading.system)
                 .run();
    }
    return rc;
}

} // namespace korvel::history
