#include "companion/archive/history_query.h"

#include "companion/archive/history_schema.h"

#include <algorithm>
#include <string>

namespace korvel::history {
namespace {

// The filter every query shares: ?1 since, ?2 until, ?3 pid, ?4 name, ?5 limit.
constexpr const char* kProcessFilter = "(?3 IS NULL OR p.pid = ?3) AND (?4 IS NULL OR p.name = ?4)";

void bindWindow(Statement& statement, const Window& window) {
    statement.bind(1, window.since)
        .bind(2, window.until)
        .bind(3, window.pid)
        .bind(4, window.name)
        .bind(5, window.limit);
}

constexpr int64_t kHour = 3600;

// The usage of one kind within the window, from its buckets: a reading is in
// its minute and its hour, so whole hours inside the window are read from
// the hours and the rest from the minutes; before the minutes kept begin,
// the hours that start in the window. Each row also has its bucket's end,
// bucket_end. ?6 to ?13 bound by bindSpans; `restriction`, when given,
// narrows every part the same way.
std::string bucketRows(const UsageKind& kind, const std::string& columns,
                       const std::string& restriction) {
    std::string sql;
    int parameter = 6;
    for (const size_t tier : {2, 2, 1, 1}) {
        sql += std::string(sql.empty() ? "" : " UNION ALL ") + "SELECT " + columns + ", time + " +
               std::to_string(kTiers[tier].bucketSeconds) + " AS bucket_end FROM " +
               tierTable(kind, kTiers[tier]) + " WHERE time >= ?" + std::to_string(parameter) +
               " AND time < ?" + std::to_string(parameter + 1) + restriction;
        parameter += 2;
    }
    return sql;
}

// `finest` reads the minutes wherever they are kept, and the hours only
// before them: the minutes are dropped an hour at a time, so their first hour
// is whole.
void bindSpans(Database& db, Statement& statement, const UsageKind& kind, const Window& window,
               bool finest = false) {
    const int64_t minutesFrom =
        db.prepare("SELECT min(time) / 3600 * 3600 FROM " + tierTable(kind, kTiers[1]))
            .integerValue()
            .value_or(kNoTime);
    const int64_t since = window.since, until = window.until;
    const int64_t firstHour = std::max((since + kHour - 1) / kHour * kHour, minutesFrom);
    const int64_t endHour = finest ? firstHour : std::max(until / kHour * kHour, firstHour);
    const int64_t firstMinute = std::max(since, minutesFrom);
    const bool wholeHours = firstHour < endHour;
    statement.bind(6, since)
        .bind(7, std::min(until, minutesFrom))
        .bind(8, firstHour)
        .bind(9, endHour)
        .bind(10, firstMinute)
        .bind(11, wholeHours ? firstHour : until)
        .bind(12, wholeHours ? std::max(endHour, firstMinute) : until)
        .bind(13, until);
}

const char* groupKey(Grouping group) {
    switch (group) {
    case Grouping::process:
        return "p.id";
    case Grouping::executable:
        // An interpreter is a different program for each script it runs.
        return "coalesce(p.executable, p.name) || coalesce(' ' || p.script, '')";
    case Grouping::app:
        return "coalesce(p.app_id, '(none)')";
    case Grouping::unit:
        return "coalesce(p.unit, '(none)')";
    case Grouping::user:
        return "coalesce(p.user, p.uid, '(unknown)')";
    case Grouping::container:
        return "coalesce(p.container, '(none)')";
    }
    return "p.id";
}

// What a group used of a measure, as the query's aggregate.
const char* measureOf(Measure by) {
    switch (by) {
    case Measure::cpu:
        return "sum(u.cpu_ms)";
    case Measure::memory:
        return "max(u.rss_kib)";
    case Measure::in:
        return "sum(u.bytes_in)";
    case Measure::out:
        return "sum(u.bytes_out)";
    case Measure::total:
        return "sum(u.bytes_in) + sum(u.bytes_out)";
    }
    return "sum(u.cpu_ms)";
}

// The processes' usage in the window per group, or per group and bucket
// (`perBucket`, with the bucket's end as column 9); `rest` follows the
// grouping (which groups, in what order).
Statement usageStatement(Database& db, const Window& window, Grouping group, bool perBucket,
                         const std::string& rest) {
    const std::string label = group == Grouping::process
                                  ? "min(p.name) || ' (' || min(p.pid) || ')'"
                                  : std::string("min(") + groupKey(group) + ")";
    // One process's rows are found through it, not by reading everyone's.
    const bool narrowed = window.pid || window.name;
    const UsageKind& kind = usageKinds()[0];
    Statement statement = db.prepare(
        "WITH u AS (" +
        bucketRows(kind,
                   "process_id, cpu_ms, rss_kib, bytes_in, bytes_out, gpu_ms, disk_read, "
                   "disk_write",
                   narrowed ? std::string(" AND process_id IN (SELECT id FROM process p WHERE ") +
                                  kProcessFilter + ")"
                            : std::string()) +
        ") SELECT " + label +
        ", sum(u.cpu_ms), max(u.rss_kib) * 1024, sum(u.bytes_in), sum(u.bytes_out), "
        "count(DISTINCT p.id), sum(u.gpu_ms), sum(u.disk_read), sum(u.disk_write)" +
        (perBucket ? ", u.bucket_end" : "") +
        " FROM u JOIN process p ON p.id = u.process_id WHERE " + kProcessFilter + " GROUP BY " +
        groupKey(group) + (perBucket ? ", u.bucket_end" : "") + " " + rest);
    bindWindow(statement, window);
    bindSpans(db, statement, kind, window, perBucket);
    return statement;
}

UsageRow usageRow(Statement& statement) {
    return {statement.text(0),
            static_cast<double>(statement.integer(1)) / 1000,
            statement.integer(2),
            statement.integer(3),
            statement.integer(4),
            statement.integer(5),
            static_cast<double>(statement.integer(6)) / 1000,
            statement.integer(7),
            statement.integer(8)};
}

} // namespace

std::vector<UsageRow> topUsage(Database& db, const Window& window, Measure by, Grouping group) {
    // A group that used none of the measure has nothing to show in its place.
    const std::string measure = measureOf(by);
    Statement statement =
        usageStatement(db, window, group, false,
                       "HAVING " + measure + " > 0 ORDER BY " + measure + " DESC, 1 LIMIT ?5");
    std::vector<UsageRow> rows;
    while (statement.step()) {
        rows.push_back(usageRow(statement));
    }
    return rows;
}

void visitUsageSteps(Database& db, const Window& window, Grouping group,
                     const std::function<void(const UsageStep&)>& visit) {
    Statement statement = usageStatement(db, window, group, true, "ORDER BY u.bucket_end");
    while (statement.step()) {
        visit({statement.integer(9), usageRow(statement)});
    }
}

std::vector<EndpointRow> endpointsSeen(Database& db, const Window& window) {
    Statement statement = db.prepare(
        std::string("SELECT p.name, p.pid, e.protocol, e.remote_address, e.remote_port, "
                    "e.host_name, e.first_seen, e.last_seen, e.bytes_in, e.bytes_out "
                    "FROM endpoint e JOIN process p ON p.id = e.process_id "
                    "WHERE e.last_seen >= ?1 AND e.first_seen < ?2 AND ") +
        kProcessFilter +
        " ORDER BY coalesce(e.bytes_in, 0) + coalesce(e.bytes_out, 0) DESC, e.last_seen DESC "
        "LIMIT ?5");
    bindWindow(statement, window);
    std::vector<EndpointRow> rows;
    while (statement.step()) {
        rows.push_back({statement.text(0), statement.integer(1), statement.text(2),
                        statement.text(3), statement.integer(4), statement.optionalText(5),
                        statement.integer(6), statement.integer(7), statement.optionalInteger(8),
                        statement.optionalInteger(9)});
    }
    return rows;
}

std::vector<InterfaceRow> interfaceTotals(Database& db, const Window& window) {
    std::vector<InterfaceRow> rows;
    for (auto& step : interfaceSteps(db, window, false)) {
        rows.push_back(std::move(step.totals));
    }
    return rows;
}

std::vector<InterfaceStep> interfaceSteps(Database& db, const Window& window, bool perBucket) {
    const UsageKind& kind = usageKinds()[1];
    Statement statement =
        db.prepare("SELECT interface, sum(bytes_in), sum(bytes_out), max(bucket_end) FROM (" +
                   bucketRows(kind, "interface, bytes_in, bytes_out", "") + ") GROUP BY interface" +
                   (perBucket ? ", bucket_end ORDER BY bucket_end"
                              : " ORDER BY sum(bytes_in) + sum(bytes_out) DESC, 1 LIMIT ?5"));
    bindWindow(statement, window);
    bindSpans(db, statement, kind, window, perBucket);
    std::vector<InterfaceStep> steps;
    while (statement.step()) {
        steps.push_back({statement.integer(3),
                         {statement.text(0), statement.integer(1), statement.integer(2)}});
    }
    return steps;
}

std::array<std::optional<int64_t>, std::size(kTiers)> oldestKept(Database& db) {
    std::array<std::optional<int64_t>, std::size(kTiers)> oldest;
    for (size_t tier = 0; tier < std::size(kTiers); ++tier) {
        std::string sql = "SELECT min(t) FROM (";
        for (const auto& kind : usageKinds()) {
            if (kind.hasTier(tier)) {
                sql += std::string(&kind == &usageKinds().front() ? "" : " UNION ALL ") +
                       "SELECT min(time) AS t FROM " + tierTable(kind, kTiers[tier]);
            }
        }
        oldest[tier] = db.prepare(sql + ")").integerValue();
    }
    return oldest;
}

} // namespace korvel::history
