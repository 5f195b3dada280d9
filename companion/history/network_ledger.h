#pragma once

#include "companion/archive/sqlite_database.h"
#include "companion/history/history_reading.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel::history {

// Writes what each network moved, and what each process moved on it, into
// the minute and hour buckets as a reading comes, and keeps the networks'
// own rows (name, SSID, last seen). Part of the store's transaction.
class NetworkLedger {
public:
    explicit NetworkLedger(Database& db);

    // processRows: the process row of each of the reading's processes, 0 for
    // one not written.
    int write(const HistoryReading& reading, const std::vector<int64_t>& processRows);
    // After a rollback: what was written may not be there.
    void forget() { known_.clear(); }

private:
    struct Known {
        int64_t row = 0;
        NetworkAttachment as; // as last written
        int64_t lastSeenWritten = 0;
    };

    int rowFor(const NetworkAttachment& network, int64_t time, int64_t& row);

    Database& db_;
    std::map<std::string, Known> known_; // by key
    Statement addNetwork_, updateNetwork_;
    Statement networkBuckets_[2], processBuckets_[2];
};

} // namespace korvel::history
