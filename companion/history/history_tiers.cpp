#include "companion/history/history_tiers.h"

#include "companion/history/history_schema.h"

#include <algorithm>
#include <sqlite3.h>
#include <string>

namespace korvel::history {
namespace {

constexpr size_t kTierCount = std::size(kTiers);
// The most one step ages, per tier: an hour of readings, a day of minutes.
constexpr int64_t kStepSeconds[] = {3600, 86400, 86400};

std::string keyList(const UsageKind& kind) {
    std::string keys = "time";
    for (const char* key : kind.keys) {
        keys += std::string(", ") + key;
    }
    return keys;
}

// Rows of `kind` in tier `from` before ?1, summed into buckets of the next tier.
std::string rollupSql(const UsageKind& kind, size_t from) {
    const int64_t bucket = kTiers[from + 1].bucketSeconds;
    const std::string keys = keyList(kind);
    std::string columns, rollups, merges;
    for (const auto& column : kind.columns) {
        columns += std::string(", ") + column.name;
        rollups += std::string(", ") + column.rollup;
        merges += std::string(merges.empty() ? "" : ", ") + column.name + " = " + column.merge;
    }
    std::string groupKeys = "1";
    for (const char* key : kind.keys) {
        groupKeys += std::string(", ") + key;
    }
    std::string selectKeys = "time / " + std::to_string(bucket) + " * " + std::to_string(bucket);
    for (const char* key : kind.keys) {
        selectKeys += std::string(", ") + key;
    }
    return "INSERT INTO " + tierTable(kind, kTiers[from + 1]) + " (" + keys + columns +
           ") SELECT " + selectKeys + rollups + " FROM " + tierTable(kind, kTiers[from]) +
           " WHERE time < ?1 GROUP BY " + groupKeys + " ON CONFLICT (" + keys + ") DO UPDATE SET " +
           merges;
}

int64_t alignedDown(int64_t time, int64_t bucket) {
    return bucket > 0 ? time / bucket * bucket : time;
}

} // namespace

TierKeeper::TierKeeper(Database& db) : db_(db) {
    for (size_t tier = 0; tier < kTierCount; ++tier) {
        for (const auto& kind : usageKinds()) {
            const std::string table = tierTable(kind, kTiers[tier]);
            tiers_[tier].push_back(
                {db_.prepare("SELECT min(time) FROM " + table),
                 tier + 1 < kTierCount ? db_.prepare(rollupSql(kind, tier)) : Statement(),
                 db_.prepare("DELETE FROM " + table + " WHERE time < ?1")});
        }
    }
    dropEndpoints_ = db_.prepare("DELETE FROM endpoint WHERE last_seen < ?1");
    dropProcesses_ = db_.prepare("DELETE FROM process WHERE ended = 1 AND last_seen < ?1");
    lastSeen_ = db_.prepare("SELECT max(last_seen) FROM process");
    pageCount_ = db_.prepare("PRAGMA page_count");
    freePages_ = db_.prepare("PRAGMA freelist_count");
    pageSize_ = db_.integerOf("PRAGMA page_size").value_or(4096);
}

std::optional<int64_t> TierKeeper::oldest(size_t tier) {
    std::optional<int64_t> result;
    for (auto& kind : tiers_[tier]) {
        if (const auto time = kind.oldest.integerValue()) {
            result = std::min(result.value_or(*time), *time);
        }
    }
    return result;
}

int TierKeeper::age(size_t from, int64_t cutoff) {
    for (auto& kind : tiers_[from]) {
        if (from + 1 < kTierCount) {
            if (const int rc = kind.rollup.bind(1, cutoff).run(); rc != SQLITE_OK) {
                return rc;
            }
        }
        if (const int rc = kind.drop.bind(1, cutoff).run(); rc != SQLITE_OK) {
            return rc;
        }
    }
    return from + 1 < kTierCount ? SQLITE_OK : dropOrphans(cutoff);
}

int TierKeeper::dropOrphans(int64_t before) {
    // Usage rows lie at or before their process's last reading, so these have none left.
    const int rc = dropEndpoints_.bind(1, before).run();
    return rc == SQLITE_OK ? dropProcesses_.bind(1, before).run() : rc;
}

int TierKeeper::compact(int64_t now, const HistoryLimits& limits) {
    const int64_t keep[] = {limits.readingSeconds, limits.minuteSeconds, limits.hourSeconds};
    if (db_.execute("BEGIN IMMEDIATE") != SQLITE_OK) {
        return SQLITE_BUSY;
    }
    int rc = SQLITE_OK;
    for (size_t tier = 0; tier < kTierCount && rc == SQLITE_OK; ++tier) {
        const auto first = oldest(tier);
        if (!first || *first >= now - keep[tier]) {
            continue;
        }
        const int64_t bucket = tier + 1 < kTierCount ? kTiers[tier + 1].bucketSeconds : 0;
        const int64_t cutoff = std::min(alignedDown(now - keep[tier], bucket),
                                        alignedDown(*first + kStepSeconds[tier], bucket));
        if (cutoff > *first) {
            rc = age(tier, cutoff);
        }
    }
    if (rc == SQLITE_OK) {
        rc = db_.execute("COMMIT");
    }
    if (rc != SQLITE_OK) {
        db_.execute("ROLLBACK");
    }
    return rc;
}

uint64_t TierKeeper::usedBytes() {
    const auto pages = pageCount_.integerValue().value_or(0);
    const auto free = freePages_.integerValue().value_or(0);
    return static_cast<uint64_t>(std::max<int64_t>(pages - free, 0) * pageSize_);
}

int TierKeeper::enforceCap(uint64_t maxBytes) {
    if (usedBytes() <= maxBytes) {
        return SQLITE_OK;
    }
    const uint64_t target = maxBytes / 100 * 95;
    int rc = SQLITE_OK;
    while (rc == SQLITE_OK && usedBytes() > target) {
        size_t tier = 0;
        std::optional<int64_t> first;
        while (tier < kTierCount && !(first = oldest(tier))) {
            ++tier;
        }
        if (!first) {
            // Nothing but who ran and whom they talked to is left.
            const auto last = lastSeen_.integerValue();
            rc = last ? dropOrphans(*last + 1) : SQLITE_OK;
            db_.execute("PRAGMA incremental_vacuum");
            break;
        }
        const int64_t bucket = tier + 1 < kTierCount ? kTiers[tier + 1].bucketSeconds : 0;
        const int64_t cutoff =
            std::max(alignedDown(*first + kStepSeconds[tier], bucket), *first + 1);
        if (db_.execute("BEGIN IMMEDIATE") != SQLITE_OK) {
            return SQLITE_BUSY;
        }
        rc = age(tier, cutoff);
        rc = rc == SQLITE_OK ? db_.execute("COMMIT") : rc;
        if (rc != SQLITE_OK) {
            db_.execute("ROLLBACK");
        }
        db_.execute("PRAGMA incremental_vacuum");
    }
    // Whatever the steps moved went through the write-ahead log.
    db_.execute("PRAGMA wal_checkpoint(TRUNCATE)");
    return rc;
}

} // namespace korvel::history
