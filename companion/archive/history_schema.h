#pragma once

#include "companion/archive/sqlite_database.h"

#include <string>
#include <vector>

namespace korvel::history {

// The tiers a kind of usage is kept in: each reading, then minute and hour
// buckets, all written as a reading comes; the buckets outlive the readings.
// A row's time is Unix seconds: the reading's, or its bucket's start.
struct Tier {
    const char* suffix;    // the table is "<kind>_<suffix>"
    int64_t bucketSeconds; // 0 for the readings themselves
};
inline constexpr Tier kTiers[] = {{"reading", 0}, {"minute", 60}, {"hour", 3600}};

// How one kind of usage (process, interface, system) is laid out and how its
// rows merge into a coarser bucket.
struct UsageColumn {
    const char* name;
    const char* type;    // with its constraint
    const char* rollup;  // aggregate over the finer rows
    const char* merge;   // on meeting a bucket that exists: old and excluded
    const char* meaning; // the comment a reader of the schema sees
    int since = 1;       // the schema version that added it
};
enum class ReadingRows {
    each,   // one row a reading and key
    packed, // the packed table, a row a key and minute
    none,   // only the buckets: what a reading adds is summed at once
};
struct UsageKind {
    const char* name;
    ReadingRows readings;
    std::vector<const char*> keys; // after time
    std::vector<UsageColumn> columns;
    int since = 1;       // the schema version that added it
    bool minutes = true; // false: hour buckets alone

    bool hasTier(size_t tier) const {
        return tier == 0 ? readings != ReadingRows::none : tier != 1 || minutes;
    }
};
const std::vector<UsageKind>& usageKinds();

// Makes an empty database at the newest schema, or brings an older one up to
// it one version step at a time, inside a transaction each. False, with the
// reason, when a step fails or the database was written by a newer version
// than this one knows.
bool migrateSchema(Database& db, std::string& error);
inline constexpr int kSchemaVersion = 5;

std::string tierTable(const UsageKind& kind, const Tier& tier);
// Adds one row's usage (?1 time, then the keys, then the columns in order)
// to the bucket of `tier` it names.
std::string bucketUpsertSql(const UsageKind& kind, const Tier& tier);

// Later than any time kept: where a tier with no rows begins.
inline constexpr int64_t kNoTime = int64_t{1} << 62;

} // namespace korvel::history
