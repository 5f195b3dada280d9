#pragma once

#include "companion/history/history_schema.h"
#include "companion/history/sqlite_database.h"

#include <cstdint>
#include <vector>

namespace korvel::history {

// How long each tier keeps its rows, and the size the database is held under.
struct HistoryLimits {
    int64_t readingSeconds = 48 * 3600;
    int64_t minuteSeconds = 30 * 86400;
    int64_t hourSeconds = 365 * 86400;
    uint64_t maxBytes = 500ULL << 20;
};

// Moves rows from each tier into the next coarser one as they age, and
// drops what the size cap and the last tier's age leave no room for. Every
// statement is fixed text prepared once, with the keeper.
class TierKeeper {
public:
    explicit TierKeeper(Database& db);

    // One bounded step of ageing per tier, inside one transaction, so a long
    // pause costs a few writes rather than one long one. The SQLite result.
    int compact(int64_t now, const HistoryLimits& limits);
    // Within the cap: drops the oldest readings (into minute buckets), then the
    // oldest minutes (into hours), then the oldest hours, until the database
    // is 5 % under the cap. The SQLite result.
    int enforceCap(uint64_t maxBytes);
    // Pages in use, in bytes.
    uint64_t usedBytes();

private:
    // Rolls every row of tier `from` older than cutoff into tier from + 1, or
    // deletes it from the last tier. The SQLite result.
    int age(size_t from, int64_t cutoff);
    // The oldest row of a tier over all kinds.
    std::optional<int64_t> oldest(size_t tier);
    int dropOrphans(int64_t before);

    // Per tier and kind: the oldest row's time, the rows before ?1 rolled into
    // the next tier (not in the last), and their deletion.
    struct KindStatements {
        Statement oldest, rollup, drop;
    };
    Database& db_;
    std::vector<KindStatements> tiers_[std::size(kTiers)];
    Statement dropEndpoints_, dropProcesses_, lastSeen_, pageCount_, freePages_;
    int64_t pageSize_ = 4096;
};

} // namespace korvel::history
