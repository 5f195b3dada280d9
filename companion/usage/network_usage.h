#pragma once

#include "companion/archive/sqlite_database.h"
#include "companion/model/counters.h"
#include "companion/usage/billing_cycle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::usage {

using history::Database;
using history::Statement;

// A network as the history last recorded it.
struct NetworkRecord {
    int64_t id = 0;
    std::string key;
    std::string name;
    std::optional<std::string> uuid;
    std::optional<std::string> ssid;
    std::string interface;
    std::optional<std::string> gateway;
    bool metered = false;
    int64_t firstSeen = 0;
    int64_t lastSeen = 0;

    // Named by its UUID, its name or its key.
    bool isNamed(const std::string& text) const {
        return text == key || text == name || (uuid && text == *uuid);
    }
};

// The name usage groups a process under: its app id, else its name.
inline std::string appName(const std::optional<std::string>& appId, const std::string& name) {
    return appId && !appId->empty() ? *appId : name;
}

// What a process moved over one network.
struct ProcessUse {
    int64_t processId = 0;
    int32_t pid = 0;
    std::string name; // empty for a process the history has let go
    std::optional<std::string> appId;
    std::optional<std::string> executable;
    ConnectionCounters used;
};

// Questions about the networks' recorded bytes, over any span: whole hours
// from the hour buckets, the hours at either edge from the minute buckets
// while those are kept (a month), else whole.
class NetworkUsage {
public:
    explicit NetworkUsage(Database& db);

    std::vector<NetworkRecord> networks();
    ConnectionCounters total(int64_t network, TimeSpan span);
    // Each local day of the span that moved anything, in order.
    std::vector<std::pair<TimeSpan, ConnectionCounters>> days(int64_t network, TimeSpan span);
    // The processes that moved anything, busiest first: by the hour, so a
    // span that starts or ends within one takes all of that hour.
    std::vector<ProcessUse> processes(int64_t network, TimeSpan span);

private:
    struct Row {
        int64_t time;
        ConnectionCounters used;
    };
    std::vector<Row> rows(int64_t network, TimeSpan span);
    Statement& bound(Statement& statement, int64_t network, TimeSpan span);

    Database& db_;
    Statement networks_, rows_, processes_;
    int64_t minutesBegin_;
};

} // namespace korvel::usage
