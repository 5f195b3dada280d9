#include "companion/history/history_schema.h"

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

std::string usageTable(const UsageKind& kind, const Tier& tier) {
    std::string sql = "CREATE TABLE " + tierTable(kind, tier) + " (\n  time INTEGER NOT NULL,";
    sql += tier.bucketSeconds == 0 ? " -- Unix seconds of the reading\n"
                                   : " -- Unix seconds the bucket starts at\n";
    for (const char* key : kind.keys) {
        sql += std::string("  ") + key +
               (key == std::string("process_id") ? " INTEGER NOT NULL REFERENCES process (id),\n"
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

// The three tiers as one, with the seconds each row covers (0: one reading).
std::string usageView(const UsageKind& kind) {
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

// What a new database is made with.
std::string newestSchema() {
    std::string sql = kProcessTable;
    for (const auto& kind : usageKinds()) {
        for (const auto& tier : kTiers) {
            sql += usageTable(kind, tier);
        }
        sql += usageView(kind);
    }
    return sql;
}

// Version 2 keeps resident memory in KiB, which the kernel counts in whole
// pages anyway: a byte less in most usage rows. The tables are made from
// today's definitions; a version that changes them again spells these out.
std::string residentKibibytes() {
    const UsageKind& process = usageKinds().front();
    std::string sql = "DROP VIEW process_usage;\n";
    for (const auto& tier : kTiers) {
        const std::string table = tierTable(process, tier);
        sql += "ALTER TABLE " + table + " RENAME TO old_" + table + ";\n" +
               usageTable(process, tier) + "INSERT INTO " + table +
               " SELECT time, process_id, cpu_ms, rss / 1024, bytes_in, bytes_out, tcp_sockets, "
               "udp_sockets FROM old_" +
               table + ";\nDROP TABLE old_" + table + ";\n";
    }
    return sql + usageView(process);
}

} // namespace

std::string tierTable(const UsageKind& kind, const Tier& tier) {
    return std::string(kind.name) + "_" + tier.suffix;
}

const std::vector<UsageKind>& usageKinds() {
    static const std::vector<UsageKind> kinds = {
        {"process",
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
           "max(udp_sockets, excluded.udp_sockets)", "likewise"}}},
        {"interface",
         {"interface"},
         {{"bytes_in", "INTEGER NOT NULL", "sum(bytes_in)", "bytes_in + excluded.bytes_in",
           "bytes received within the row"},
          {"bytes_out", "INTEGER NOT NULL", "sum(bytes_out)", "bytes_out + excluded.bytes_out",
           "bytes sent"}}},
        {"system",
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
           "coalesce(excluded.gpu_percent, gpu_percent)", "null without a reading"},
          {"cpu_temperature", "REAL",
           "sum(cpu_temperature * readings) / sum(iif(cpu_temperature IS NULL, 0, readings))",
           "coalesce(excluded.cpu_temperature, cpu_temperature)", "degrees Celsius"},
          {"gpu_temperature", "REAL",
           "sum(gpu_temperature * readings) / sum(iif(gpu_temperature IS NULL, 0, readings))",
           "coalesce(excluded.gpu_temperature, gpu_temperature)", "degrees Celsius"}}},
    };
    return kinds;
}

bool migrateSchema(Database& db, std::string& error) {
    // Index n takes a database from version n + 1 to n + 2.
    static const std::vector<std::string> steps = {residentKibibytes()};
    static_assert(kSchemaVersion == 2, "a new version needs its step");
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
