#pragma once

#include "companion/archive/history_tiers.h"
#include "companion/archive/sqlite_database.h"
#include "companion/history/history_reading.h"
#include "companion/history/network_ledger.h"

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>

namespace korvel::history {

// Writes readings into the history database: one transaction per reading,
// holding only what changed since the last one that was written (an idle
// process costs nothing), into the readings tier and into the minute and
// hour buckets at once. Usage rows hold what was used between readings, as
// the engine counted it; the process and endpoint rows hold running totals,
// final once they end. One thread at a time; it owns the connection.
class HistoryStore {
public:
    // The database must be migrated already.
    explicit HistoryStore(Database db);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Writes the reading, then ages the tiers and holds the cap. The SQLite
    // result: on a failure nothing of the reading is kept, what it used
    // included.
    int record(const HistoryReading& reading, const HistoryLimits& limits);
    // Copies the write-ahead log into the database once it has grown past
    // its share of the cap: apart from the writes, so that none waits on the
    // disk's flush. True when it ran.
    bool checkpointIfDue();

    Database& database() { return db_; }
    uint64_t usedBytes() { return tiers_.usedBytes(); }

private:
    struct LiveProcess;
    struct LiveEndpoint;
    struct ProcessUsage;
    using EndpointKey = std::tuple<int64_t, std::string, std::string, uint16_t>;

    int write(const HistoryReading& reading);
    int writeProcess(const ProcessSample& sample, int64_t time, LiveProcess*& written);
    // Into the packed readings and the buckets, where anything changed.
    int writeUsage(LiveProcess& live, int64_t time, const ProcessUsage& usage);
    int packUsage(LiveProcess& live, int64_t time, const ProcessUsage& usage, bool rssChanged);
    int writeTotals(LiveProcess& live, int64_t time);
    int findOrAddProcess(const ProcessSample& sample, int64_t time, LiveProcess& live);
    // The endpoint of a process's socket, seen at time when `seen`; null on a
    // failure.
    LiveEndpoint* endpointFor(const LiveProcess& owner, const std::string& protocol,
                              const std::string& address, uint16_t port, int64_t time, bool seen,
                              int& rc);
    int writeSockets(const ProcessSample& sample, const LiveProcess& live, int64_t time);
    int writeOtherTcp(const ConnectionCounters& used, int64_t time);
    int endMissing(int64_t time);
    int writeEndpoints(int64_t time);
    int writeInterfaces(const HistoryReading& reading);
    int writeSystem(const HistoryReading& reading);
    void forget();

    Database db_;
    TierKeeper tiers_;
    NetworkLedger networks_;
    uint64_t logLimitFor_ = 0;
    uint64_t logPages_ = 0;
    std::unordered_map<int32_t, LiveProcess> processes_;
    std::unique_ptr<LiveProcess> otherTcp_; // the row of TCP no process accounts for
    std::map<EndpointKey, LiveEndpoint> endpoints_;
    Statement findProcess_, addProcess_, updateProcess_, updateProcessTotals_, endProcess_,
        addReading_, addEndpoint_, updateEndpoint_, updateEndpointBytes_, addInterface_, addSystem_;
    // Per bucket tier (minute, hour): a reading's usage added to its bucket.
    Statement processBuckets_[2], interfaceBuckets_[2], systemBuckets_[2];
};

} // namespace korvel::history
