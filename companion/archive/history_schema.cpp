#include "companion/archive/history_schema.h"

#include <sqlite3.h>

namespace korvel::history {
namespace {

constexpr const char* kProcessTable = R"(CREATE TABLE process (
  -- One process: a pid with the moment it started.
  id INTEGER PRIMARY KEY,
  pid INTEGER NOT NULL,
  start_time INTEGER, -- Unix seconds; null when the helper did not say
  name TEXT NOT NULL,
  executable TEXT,
  script TEXT, -- the script or module an interpreter runs
  uid INTEGER,
  user TEXT,
  unit TEXT, -- the systemd unit it ran in
  app_id TEXT,
  container TEXT,
  first_seen INTEGER NOT NULL, -- Unix seconds of the first and last readings that saw it
  last_seen INTEGER NOT NULL,
  ended INTEGER NOT NULL DEFAULT 0, -- 1 once a reading no longer saw it
  cpu_ms INTEGER NOT NULL DEFAULT 0, -- totals while recorded, final once ended
  peak_rss INTEGER NOT NULL DEFAULT 0, -- bytes
  tcp_bytes_in INTEGER NOT NULL DEFAULT 0,
  tcp_bytes_out INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX process_by_pid ON process (pid, start_time);
CREATE INDEX process_by_last_seen ON process (last_seen);
CREATE TABLE endpoint (
  -- A remote address and port a process had a socket with.
  id INTEGER PRIMARY KEY,
  process_id INTEGER NOT NULL REFERENCES process (id),
  protocol TEXT NOT NULL, -- TCP, TCP6, UDP or UDP6
  remote_address TEXT NOT NULL,
  remote_port INTEGER NOT NULL,
  host_name TEXT,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  bytes_in INTEGER, -- TCP payload; null for UDP, which the kernel does not count
  bytes_out INTEGER,
  UNIQUE (process_id, protocol, remote_address, remote_port)
);
CREATE INDEX endpoint_by_last_seen ON endpoint (last_seen);
)";

constexpr const char* kNetworkTables = R"(CREATE TABLE network (
  -- A network the machine was on: a connection of the connection manager,
  -- else an interface and the gateway it routed through.
  id INTEGER PRIMARY KEY,
  key TEXT NOT NULL UNIQUE, -- the connection's UUID, else "<interface> via <gateway>"
  name TEXT NOT NULL, -- the connection's id, else the key
  uuid TEXT,
  ssid TEXT, -- Wi-Fi's, the last seen
  interface TEXT NOT NULL, -- the last it was on
  gateway TEXT,
  metered INTEGER NOT NULL DEFAULT 0, -- as the connection manager last said
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL
);
CREATE TABLE plan_alert (
  -- A data plan's warning or cap reached, so that each is told once a cycle.
  network_key TEXT NOT NULL,
  cycle_start INTEGER NOT NULL, -- Unix seconds
  level TEXT NOT NULL, -- "warning" or "cap"
  time INTEGER NOT NULL,
  PRIMARY KEY (network_key, cycle_start, level)
) WITHOUT ROWID;
)";

std::string usageTable(const UsageKind& kind, const Tier& tier) {
    std::string sql = "CREATE TABLE " + tierTable(kind, tier) + " (\n  time INTEGER NOT NULL,";
    sql += tier.bucketSeconds == 0 ? " -- Unix seconds of the reading\n"
                                   : " -- Unix seconds the bucket starts at\n";
    for (const char* key : kind.keys) {
        const std::string name = key;
        sql += "  " + name +
               (name == "process_id"   ? " INTEGER NOT NULL REFERENCES process (id),\n"
                : name == "network_id" ? " INTEGER NOT NULL REFERENCES network (id),\n"
                                       : " TEXT NOT NULL,\n");
    }
    for (const auto& column : kind.columns) {
        sql +=
            std::string("  ") + column.name + " " + column.type + ", -- " + column.meaning + "\n";
    }
    sql += "  PRIMARY KEY (time";
    for (const char* key : kind.keys) {
        sql += std::string(", ") + key;
    }
    return sql + ")\n) WITHOUT ROWID;\n";
}

// Version 2's view: the tiers held disjoint times, each reading moved on as it aged.
std::string tierUnionView(const UsageKind& kind) {
    std::string sql = std::string("CREATE VIEW ") + kind.name + "_usage AS\n";
    for (const auto& tier : kTiers) {
        if (tier.bucketSeconds != 0) {
            sql += "  UNION ALL\n";
        }
        sql += "  SELECT *, " + std::to_string(tier.bucketSeconds) + " AS resolution FROM " +
               tierTable(kind, tier) + "\n";
    }
    return sql + ";\n";
}

// Every reading is added to its minute and its hour as it is written, so the
// hours hold all that is kept and the minutes the last month of it.
std::string usageView(const UsageKind& kind) {
    if (!kind.minutes) {
        return std::string("CREATE VIEW ") + kind.name +
               "_usage AS\n  -- Hour buckets alone; resolution is the seconds a row covers.\n"
               "  SELECT *, 3600 AS resolution FROM " +
               tierTable(kind, kTiers[2]) + ";\n";
    }
    const std::string minutes = tierTable(kind, kTiers[1]);
    return std::string("CREATE VIEW ") + kind.name +
           "_usage AS\n"
           "  -- The minute buckets kept, then the hours before them; resolution is the seconds "
           "a row covers.\n"
           "  SELECT *, 60 AS resolution FROM " +
           minutes + "\n  UNION ALL\n  SELECT *, 3600 AS resolution FROM " +
           tierTable(kind, kTiers[2]) +
           "\n  WHERE time < (SELECT coalesce(min(time) / 3600 * 3600, " + std::to_string(kNoTime) +
           ") FROM " + minutes + ");\n";
}

constexpr const char* kPackedReadings = R"(CREATE TABLE process_reading (
  -- Each reading of a process that changed, one row a process and minute;
  -- process_minute holds the same usage summed.
  time INTEGER NOT NULL, -- Unix seconds the minute starts at
  process_id INTEGER NOT NULL REFERENCES process (id),
  readings BLOB NOT NULL, -- per reading: a byte of the fields present (bit n for the nth of
  -- cpu_ms, rss_kib, bytes_in, bytes_out, tcp_sockets, udp_sockets; bit 6: a byte of its second
  -- in the minute follows, else it lies one gap after the reading before, as that one did),
  -- then those fields as varints; rss_kib where it moved by 1/64 or 1 MiB, sockets where they
  -- changed, else see process_minute
  PRIMARY KEY (time, process_id)
) WITHOUT ROWID;
CREATE INDEX process_hour_by_process ON process_hour (process_id, time);
)";

std::string viewsOf(const std::vector<UsageKind>& kinds) {
    std::string sql;
    for (const auto& kind : kinds) {
        sql += usageView(kind);
    }
    return sql;
}

// What a new database is made with.
std::string newestSchema() {
    std::string sql = kProcessTable;
    sql += kNetworkTables;
    for (const auto& kind : usageKinds()) {
        for (size_t tier = 0; tier < std::size(kTiers); ++tier) {
            if (kind.hasTier(tier) && (tier != 0 || kind.readings == ReadingRows::each)) {
                sql += usageTable(kind, kTiers[tier]);
            }
        }
    }
    return sql + kPackedReadings + viewsOf(usageKinds());
}

// "time" and the kind's keys, comma-separated.
std::string keyList(const UsageKind& kind) {
    std::string keys = "time";
    for (const char* key : kind.keys) {
        keys += std::string(", ") + key;
    }
    return keys;
}

std::string mergeClause(const UsageKind& kind) {
    std::string merges;
    for (const auto& column : kind.columns) {
        merges += std::string(merges.empty() ? "" : ", ") + column.name + " = " + column.merge;
    }
    return " ON CONFLICT (" + keyList(kind) + ") DO UPDATE SET " + merges;
}

// Rows of tier `from` where condition holds, summed into the next tier's buckets.
std::string rollupSql(const UsageKind& kind, size_t from, const char* condition) {
    const int64_t bucket = kTiers[from + 1].bucketSeconds;
    std::string columns, rollups,
        selectKeys = "time / " + std::to_string(bucket) + " * " + std::to_string(bucket),
        groupKeys = "1";
    for (const auto& column : kind.columns) {
        columns += std::string(", ") + column.name;
        rollups += std::string(", ") + column.rollup;
    }
    for (const char* key : kind.keys) {
        selectKeys += std::string(", ") + key;
        groupKeys += std::string(", ") + key;
    }
    return "INSERT INTO " + tierTable(kind, kTiers[from + 1]) + " (" + keyList(kind) + columns +
           ") SELECT " + selectKeys + rollups + " FROM " + tierTable(kind, kTiers[from]) +
           " WHERE " + condition + " GROUP BY " + groupKeys + mergeClause(kind);
}

// The kinds, with only the columns, a schema version had: the steps up from
// an older version are written against the tables as they were then.
std::vector<UsageKind> usageKindsAt(int version) {
    std::vector<UsageKind> kinds = usageKinds();
    std::erase_if(kinds, [&](const UsageKind& k) { return k.since > version; });
    for (auto& kind : kinds) {
        std::erase_if(kind.columns, [&](const UsageColumn& c) { return c.since > version; });
    }
    return kinds;
}

// Version 2 keeps resident memory in KiB, which the kernel counts in whole
// pages anyway: a byte less in most usage rows. Its reading table is the
// unpacked one of the other kinds.
std::string residentKibibytes() {
    const UsageKind process = usageKindsAt(2).front();
    std::string sql = "DROP VIEW process_usage;\n";
    for (const auto& tier : kTiers) {
        const std::string table = tierTable(process, tier);
        sql += "ALTER TABLE " + table + " RENAME TO old_" + table + ";\n" +
               usageTable(process, tier) + "INSERT INTO " + table +
               " SELECT time, process_id, cpu_ms, rss / 1024, bytes_in, bytes_out, tcp_sockets, "
               "udp_sockets FROM old_" +
               table + ";\nDROP TABLE old_" + table + ";\n";
    }
    return sql + tierUnionView(process);
}

// Version 3 writes every reading into its minute and hour as it comes, and
// packs a process's readings a minute to a row. The readings already kept
// are added to the minutes, all minutes to the hours; a process's readings
// before the step keep only their minutes.
std::string bucketsAsReadingsArrive() {
    std::string sql;
    for (const auto& kind : usageKindsAt(3)) {
        sql += std::string("DROP VIEW ") + kind.name + "_usage;\n" + rollupSql(kind, 0, "true") +
               ";\n" + rollupSql(kind, 1, "true") + ";\n";
    }
    return sql + "DROP TABLE process_reading;\n" + kPackedReadings + viewsOf(usageKindsAt(3));
}

// Version 4 names an interpreter's script beside its executable, and its
// process buckets gain GPU time and storage bytes, 0 before the step.
std::string scriptsGpuAndDisk() {
    const UsageKind& process = usageKinds().front();
    std::string sql = "DROP VIEW process_usage;\nALTER TABLE process ADD COLUMN script TEXT;\n";
    for (const auto& tier : kTiers) {
        if (tier.bucketSeconds == 0) {
            continue;
        }
        for (const auto& column : process.columns) {
            if (column.since == 4) {
                sql += "ALTER TABLE " + tierTable(process, tier) + " ADD COLUMN " + column.name +
                       " " + column.type + ";\n";
            }
        }
    }
    return sql + usageView(process);
}

// Version 5 keeps what each network moved in minute and hour buckets, and
// what each process moved on it in hour buckets (minutes would take a
// process's row again each minute); the bytes before the step are on none.
std::string networks() {
    std::string sql = kNetworkTables;
    for (const auto& kind : usageKinds()) {
        if (kind.since == 5) {
            for (size_t tier = 1; tier < std::size(kTiers); ++tier) {
                sql += kind.hasTier(tier) ? usageTable(kind, kTiers[tier]) : "";
            }
            sql += usageView(kind);
        }
    }
    return sql;
}

} // namespace

std::string tierTable(const UsageKind& kind, const Tier& tier) {
    return std::string(kind.name) + "_" + tier.suffix;
}

std::string bucketUpsertSql(const UsageKind& kind, const Tier& tier) {
    std::string names = keyList(kind), values = "?1";
    int parameter = 1;
    for (size_t i = 0; i < kind.keys.size(); ++i) {
        values += ", ?" + std::to_string(++parameter);
    }
    for (const auto& column : kind.columns) {
        names += std::string(", ") + column.name;
        values += ", ?" + std::to_string(++parameter);
    }
    return "INSERT INTO " + tierTable(kind, tier) + " (" + names + ") VALUES (" + values + ")" +
           mergeClause(kind);
}

const std::vector<UsageKind>& usageKinds() {
    static const std::vector<UsageKind> kinds = {
        {"process",
         ReadingRows::packed,
         {"process_id"},
         {{"cpu_ms", "INTEGER NOT NULL", "sum(cpu_ms)", "cpu_ms + excluded.cpu_ms",
           "CPU time used within the row"},
          {"rss_kib", "INTEGER NOT NULL", "max(rss_kib)", "max(rss_kib, excluded.rss_kib)",
           "resident KiB, the peak within a bucket"},
          {"bytes_in", "INTEGER NOT NULL", "sum(bytes_in)", "bytes_in + excluded.bytes_in",
           "TCP payload received within the row"},
          {"bytes_out", "INTEGER NOT NULL", "sum(bytes_out)", "bytes_out + excluded.bytes_out",
           "TCP payload sent"},
          {"tcp_sockets", "INTEGER NOT NULL", "max(tcp_sockets)",
           "max(tcp_sockets, excluded.tcp_sockets)", "open sockets, the most within a bucket"},
          {"udp_sockets", "INTEGER NOT NULL", "max(udp_sockets)",
           "max(udp_sockets, excluded.udp_sockets)", "likewise"},
          {"gpu_ms", "INTEGER NOT NULL DEFAULT 0", "sum(gpu_ms)", "gpu_ms + excluded.gpu_ms",
           "GPU engine time, all engines summed", 4},
          {"disk_read", "INTEGER NOT NULL DEFAULT 0", "sum(disk_read)",
           "disk_read + excluded.disk_read", "bytes read from storage", 4},
          {"disk_write", "INTEGER NOT NULL DEFAULT 0", "sum(disk_write)",
           "disk_write + excluded.disk_write",
           "bytes written to storage, cancelled writes taken off", 4}}},
        {"interface",
         ReadingRows::each,
         {"interface"},
         {{"bytes_in", "INTEGER NOT NULL", "sum(bytes_in)", "bytes_in + excluded.bytes_in",
           "bytes received within the row"},
          {"bytes_out", "INTEGER NOT NULL", "sum(bytes_out)", "bytes_out + excluded.bytes_out",
           "bytes sent"}}},
        {"system",
         ReadingRows::each,
         {},
         {{"readings", "INTEGER NOT NULL", "sum(readings)", "readings + excluded.readings",
           "readings the row stands for; the figures below are their means"},
          {"cpu_percent", "REAL NOT NULL", "sum(cpu_percent * readings) / sum(readings)",
           "(cpu_percent * readings + excluded.cpu_percent * excluded.readings) / "
           "(readings + excluded.readings)",
           "all cores, 0 to 100"},
          {"load_1m", "REAL NOT NULL", "sum(load_1m * readings) / sum(readings)",
           "(load_1m * readings + excluded.load_1m * excluded.readings) / "
           "(readings + excluded.readings)",
           "one-minute load average"},
          {"memory_total", "INTEGER NOT NULL", "max(memory_total)",
           "max(memory_total, excluded.memory_total)", "bytes"},
          {"memory_used", "INTEGER NOT NULL", "sum(memory_used * readings) / sum(readings)",
           "(memory_used * readings + excluded.memory_used * excluded.readings) / "
           "(readings + excluded.readings)",
           "bytes"},
          {"memory_free", "INTEGER NOT NULL", "sum(memory_free * readings) / sum(readings)",
           "(memory_free * readings + excluded.memory_free * excluded.readings) / "
           "(readings + excluded.readings)",
           "bytes"},
          {"memory_pressure", "INTEGER NOT NULL", "max(memory_pressure)",
           "max(memory_pressure, excluded.memory_pressure)",
           "0 normal, 1 warning, 2 critical; the worst within a bucket"},
          {"gpu_percent", "REAL",
           "sum(gpu_percent * readings) / sum(iif(gpu_percent IS NULL, 0, readings))",
           "coalesce((gpu_percent * readings + excluded.gpu_percent * excluded.readings) / "
           "(readings + "
           "excluded.readings), excluded.gpu_percent, gpu_percent)",
           "null without a reading"},
          {"cpu_temperature", "REAL",
           "sum(cpu_temperature * readings) / sum(iif(cpu_temperature IS NULL, 0, readings))",
           "coalesce((cpu_temperature * readings + excluded.cpu_temperature * excluded.readings) / "
           "(readings + "
           "excluded.readings), excluded.cpu_temperature, cpu_temperature)",
           "degrees Celsius"},
          {"gpu_temperature", "REAL",
           "sum(gpu_temperature * readings) / sum(iif(gpu_temperature IS NULL, 0, readings))",
           "coalesce((gpu_temperature * readings + excluded.gpu_temperature * excluded.readings) / "
           "(readings + "
           "excluded.readings), excluded.gpu_temperature, gpu_temperature)",
           "degrees Celsius"}}},
        {"network",
         ReadingRows::none,
         {"network_id"},
         {{"bytes_in", "INTEGER NOT NULL", "sum(bytes_in)", "bytes_in + excluded.bytes_in",
           "bytes its interfaces received within the row, every protocol"},
          {"bytes_out", "INTEGER NOT NULL", "sum(bytes_out)", "bytes_out + excluded.bytes_out",
           "bytes sent"}},
         5},
        {"network_process",
         ReadingRows::none,
         {"network_id", "process_id"},
         {{"bytes_in", "INTEGER NOT NULL", "sum(bytes_in)", "bytes_in + excluded.bytes_in",
           "the process's payload received over the network within the row: TCP, and UDP "
           "where the kernel meter counted it"},
          {"bytes_out", "INTEGER NOT NULL", "sum(bytes_out)", "bytes_out + excluded.bytes_out",
           "likewise sent"}},
         5,
         false},
    };
    return kinds;
}

bool migrateSchema(Database& db, std::string& error) {
    // Index n takes a database from version n + 1 to n + 2.
    static const std::vector<std::string> steps = {residentKibibytes(), bucketsAsReadingsArrive(),
                                                   scriptsGpuAndDisk(), networks()};
    static_assert(kSchemaVersion == 5, "a new version needs its step");
    const int64_t version = db.integerOf("PRAGMA user_version").value_or(-1);
    if (version < 0 || version > kSchemaVersion) {
        error = "schema version " + std::to_string(version) + " is newer than this program's";
        return false;
    }
    if (version == 0) {
        // Only an empty file takes this; it lets deleted rows give their space back.
        db.execute("PRAGMA auto_vacuum = INCREMENTAL");
    }
    for (int64_t at = version; at < kSchemaVersion;) {
        const int64_t to = at == 0 ? kSchemaVersion : at + 1;
        const std::string sql = "BEGIN IMMEDIATE;\n" +
                                (at == 0 ? newestSchema() : steps[static_cast<size_t>(at - 1)]) +
                                "PRAGMA user_version = " + std::to_string(to) + ";\nCOMMIT;";
        if (db.execute(sql.c_str()) != SQLITE_OK) {
            error = db.lastError();
            db.execute("ROLLBACK");
            return false;
        }
        at = to;
    }
    if (version != 0 && version < kSchemaVersion) {
        // A step that rebuilt tables leaves their old pages free.
        db.execute("PRAGMA incremental_vacuum");
    }
    return true;
}

} // namespace korvel::history
