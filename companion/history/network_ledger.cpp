#include "companion/history/network_ledger.h"

#include "companion/archive/history_schema.h"

#include <algorithm>
#include <sqlite3.h>

namespace korvel::history {
namespace {

// A network's last_seen may lag the truth by this much while nothing else changes.
constexpr int64_t kLastSeenSlack = 60;

std::optional<std::string> unlessEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

const UsageKind& kindNamed(std::string_view name) {
    const auto& kinds = usageKinds();
    return *std::find_if(kinds.begin(), kinds.end(),
                         [&](const UsageKind& kind) { return kind.name == name; });
}

} // namespace

NetworkLedger::NetworkLedger(Database& db) : db_(db) {
    addNetwork_ = db_.prepare(
        "INSERT INTO network (key, name, uuid, ssid, interface, gateway, metered, first_seen, "
        "last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8) ON CONFLICT (key) DO UPDATE SET "
        "name = excluded.name, uuid = excluded.uuid, ssid = excluded.ssid, interface = "
        "excluded.interface, gateway = excluded.gateway, metered = excluded.metered, last_seen = "
        "max(last_seen, excluded.last_seen) RETURNING id");
    updateNetwork_ = db_.prepare("UPDATE network SET last_seen = ?2 WHERE id = ?1");
    for (size_t tier = 1; tier < std::size(kTiers); ++tier) {
        networkBuckets_[tier - 1] =
            db_.prepare(bucketUpsertSql(kindNamed("network"), kTiers[tier]));
        if (kindNamed("network_process").hasTier(tier)) {
            processBuckets_[tier - 1] =
                db_.prepare(bucketUpsertSql(kindNamed("network_process"), kTiers[tier]));
        }
    }
}

int NetworkLedger::rowFor(const NetworkAttachment& network, int64_t time, int64_t& row) {
    auto found = known_.find(network.key);
    if (found != known_.end() && found->second.as == network) {
        row = found->second.row;
        if (time - found->second.lastSeenWritten < kLastSeenSlack) {
            return SQLITE_OK;
        }
        found->second.lastSeenWritten = time;
        return updateNetwork_.bind(1, row).bind(2, time).run();
    }
    addNetwork_.bind(1, std::string_view(network.key))
        .bind(2, std::string_view(network.name))
        .bind(3, unlessEmpty(network.uuid))
        .bind(4, unlessEmpty(network.ssid))
        .bind(5, std::string_view(network.interface))
        .bind(6, unlessEmpty(network.gateway))
        .bind(7, int64_t{network.metered})
        .bind(8, time);
    const bool stepped = addNetwork_.step();
    row = stepped ? addNetwork_.integer(0) : 0;
    const int rc = addNetwork_.resultCode();
    addNetwork_.reset();
    if (!stepped) {
        return rc == SQLITE_OK || rc == SQLITE_DONE ? SQLITE_ERROR : rc;
    }
    known_[network.key] = {row, network, time};
    return SQLITE_OK;
}

int NetworkLedger::write(const HistoryReading& reading, const std::vector<int64_t>& processRows) {
    for (const NetworkSample& sample : reading.networks) {
        int64_t row = 0;
        if (const int rc = rowFor(sample.network, reading.time, row); rc != SQLITE_OK) {
            return rc;
        }
        for (size_t tier = 1; tier < std::size(kTiers); ++tier) {
            const int64_t bucket = kTiers[tier].bucketSeconds;
            const int64_t start = reading.time / bucket * bucket;
            int rc = networkBuckets_[tier - 1]
                         .bind(1, start)
                         .bind(2, row)
                         .bind(3, sample.used.bytesIn)
                         .bind(4, sample.used.bytesOut)
                         .run();
            const bool processTier = kindNamed("network_process").hasTier(tier);
            for (const auto& [index, used] : sample.processes) {
                if (rc != SQLITE_OK) {
                    return rc;
                }
                if (!processTier || index >= processRows.size() || processRows[index] == 0) {
                    continue;
                }
                rc = processBuckets_[tier - 1]
                         .bind(1, start)
                         .bind(2, row)
                         .bind(3, processRows[index])
                         .bind(4, used.bytesIn)
                         .bind(5, used.bytesOut)
                         .run();
            }
            if (rc != SQLITE_OK) {
                return rc;
            }
        }
    }
    return SQLITE_OK;
}

} // namespace korvel::history
