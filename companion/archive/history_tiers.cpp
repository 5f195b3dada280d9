#include "companion/archive/history_tiers.h"

#include "companion/archive/history_schema.h"

#include <algorithm>
#include <sqlite3.h>
#include <string>

namespace korvel::history {
namespace {

constexpr size_t kTierCount = std::size(kTiers);
// The most one step drops, per tier: an hour of readings, a day of minutes.
constexpr int64_t kStepSeconds[] = {3600, 86400, 86400};
// What a tier is dropped in: whole minutes of readings, whole hours of
// minutes, so that no bucket is left with part of what it summed.
constexpr int64_t kDropUnit[] = {60, 3600, 3600};

int64_t alignedDown(int64_t time, int64_t unit) {
    return time / unit * unit;
}

} // namespace

TierKeeper::TierKeeper(Database& db) : db_(db) {
    for (size_t tier = 0; tier < kTierCount; ++tier) {
        for (const auto& kind : usageKinds()) {
            if (!kind.hasTier(tier)) {
                continue;
            }
            const std::string table = tierTable(kind, kTiers[tier]);
            tiers_[tier].push_back({db_.prepare("SELECT min(time) FROM " + table),
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

int TierKeeper::drop(size_t tier, int64_t cutoff) {
    for (auto& kind : tiers_[tier]) {
        if (const int rc = kind.drop.bind(1, cutoff).run(); rc != SQLITE_OK) {
            return rc;
        }
    }
    return tier + 1 < kTierCount ? SQLITE_OK : dropOrphans(cutoff);
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
        const int64_t unit = kDropUnit[tier];
        const int64_t cutoff = std::min(alignedDown(now - keep[tier], unit),
                                        alignedDown(*first + kStepSeconds[tier], unit));
        if (cutoff > *first) {
            rc = drop(tier, cutoff);
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

int TierKeeper::enforceCap(uint64_t maxBytes, int64_t now) {
    if (usedBytes() <= maxBytes) {
        return SQLITE_OK;
    }
    const uint64_t target = maxBytes / 100 * 95;
    int rc = SQLITE_OK;
    // The minute being written stays whole in the readings, where its packed
    // rows are appended to, and likewise the hour in the minutes.
    const int64_t horizon[] = {alignedDown(now, 60), alignedDown(now, 3600), kNoTime};
    while (rc == SQLITE_OK && usedBytes() > target) {
        size_t tier = 0;
        std::optional<int64_t> first;
        for (; tier < kTierCount; ++tier) {
            first = oldest(tier);
            if (first && *first < horizon[tier]) {
                break;
            }
        }
        if (tier == kTierCount) {
            // Nothing but who ran, whom they talked to and this minute is left.
            const auto last = lastSeen_.integerValue();
            rc = last ? dropOrphans(*last + 1) : SQLITE_OK;
            db_.execute("PRAGMA incremental_vacuum");
            break;
        }
        const int64_t unit = kDropUnit[tier];
        const int64_t cutoff = std::min(std::max(alignedDown(*first + kStepSeconds[tier], unit),
                                                 alignedDown(*first, unit) + unit),
                                        horizon[tier]);
        if (db_.execute("BEGIN IMMEDIATE") != SQLITE_OK) {
            return SQLITE_BUSY;
        }
        rc = drop(tier, cutoff);
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
