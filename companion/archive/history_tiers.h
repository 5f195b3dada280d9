#pragma once

#include "companion/archive/history_schema.h"
#include "companion/archive/sqlite_database.h"

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

// Drops each tier's rows as they age out of it (the coarser tiers already
// hold their sums), and what the size cap leaves no room for. Every
// statement is fixed text prepared once, with the keeper.
class TierKeeper {
public:
    explicit TierKeeper(Database& db);

    // One bounded step of ageing per tier, inside one transaction, so a long
    // pause costs a few writes rather than one long one. The SQLite result.
    int compact(int64_t now, const HistoryLimits& limits);
    // Within the cap: drops the oldest readings, then the oldest minutes,
    // then the oldest hours, until the database is 5 % under the cap; the
    // minute and hour now lies in stay. The SQLite result.
    int enforceCap(uint64_t maxBytes, int64_t now);
    // Pages in use, in bytes.
    uint64_t usedBytes();

private:
    // Deletes every row of the tier older than cutoff. The SQLite result.
    int drop(size_t tier, int64_t cutoff);
    // The oldest row of a tier over all kinds.
    std::optional<int64_t> oldest(size_t tier);
    int dropOrphans(int64_t before);

    // Per tier and kind: the oldest row's time, and the rows before ?1 deleted.
    struct KindStatements {
        Statement oldest, drop;
    };
    Database& db_;
    std::vector<KindStatements> tiers_[std::size(kTiers)];
    Statement dropEndpoints_, dropProcesses_, lastSeen_, pageCount_, freePages_;
    int64_t pageSize_ = 4096;
};

} // namespace korvel::history
