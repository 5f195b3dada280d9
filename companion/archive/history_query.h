#pragma once

#include "companion/archive/history_schema.h"
#include "companion/archive/sqlite_database.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::history {

// The questions the history answers. Each is fixed text made of the
// program's own pieces; what the user typed only ever reaches it as a bound
// parameter.
enum class Measure { cpu, memory, in, out, total };
enum class Grouping { process, executable, app, unit, user, container };

struct Window {
    int64_t since = 0; // Unix seconds, inclusive
    int64_t until = 0; // exclusive
    std::optional<int64_t> pid;
    std::optional<std::string> name; // the process's name
    int64_t limit = 10;
};

struct UsageRow {
    std::string label;
    double cpuSeconds = 0;
    int64_t peakRss = 0;
    int64_t bytesIn = 0;
    int64_t bytesOut = 0;
    int64_t processes = 0; // distinct processes in the group
    double gpuSeconds = 0;
    int64_t diskRead = 0; // storage bytes
    int64_t diskWrite = 0;
};
// The groups that used most of the measure, at most window.limit of them;
// those that used none of it are not listed.
std::vector<UsageRow> topUsage(Database& db, const Window& window, Measure by, Grouping group);

// What a group used bucket by bucket, every group's buckets oldest first,
// each with the Unix second it ends at: minute by minute while the minutes
// are kept, hour by hour before. They add up to topUsage's figures.
struct UsageStep {
    int64_t end = 0;
    UsageRow usage;
};
// Handed to `visit` one at a time: a week of minutes can be many.
void visitUsageSteps(Database& db, const Window& window, Grouping group,
                     const std::function<void(const UsageStep&)>& visit);

struct EndpointRow {
    std::string process;
    int64_t pid = 0;
    std::string protocol;
    std::string remoteAddress;
    int64_t remotePort = 0;
    std::optional<std::string> hostName;
    int64_t firstSeen = 0;
    int64_t lastSeen = 0;
    std::optional<int64_t> bytesIn; // none for UDP
    std::optional<int64_t> bytesOut;
};
// Endpoints with a socket open at some time in the window, most traffic first.
std::vector<EndpointRow> endpointsSeen(Database& db, const Window& window);

struct InterfaceRow {
    std::string name;
    int64_t bytesIn = 0;
    int64_t bytesOut = 0;
};
std::vector<InterfaceRow> interfaceTotals(Database& db, const Window& window);
// The same bucket by bucket as usageSteps, when perBucket; else the totals,
// each with the end of its last bucket.
struct InterfaceStep {
    int64_t end = 0;
    InterfaceRow totals;
};
std::vector<InterfaceStep> interfaceSteps(Database& db, const Window& window, bool perBucket);

// The oldest time each tier holds (readings, minutes, hours), in Unix
// seconds; none where a tier is empty. Reads only the ends of the indexes.
std::array<std::optional<int64_t>, std::size(kTiers)> oldestKept(Database& db);

} // namespace korvel::history
