#include "companion/history/history_query.h"

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

const char* groupKey(Grouping group) {
    switch (group) {
    case Grouping::process:
        return "p.id";
    case Grouping::executable:
        return "coalesce(p.executable, p.name)";
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

const char* measureColumn(Measure by) {
    switch (by) {
    case Measure::cpu:
        return "2";
    case Measure::memory:
        return "3";
    case Measure::in:
        return "4";
    case Measure::out:
        return "5";
    case Measure::total:
        return "4 + 5";
    }
    return "2";
}

} // namespace

std::vector<UsageRow> topUsage(Database& db, const Window& window, Measure by, Grouping group) {
    const std::string label = group == Grouping::process
                                  ? "min(p.name) || ' (' || min(p.pid) || ')'"
                                  : std::string("min(") + groupKey(group) + ")";
    const std::string order =
        by == Measure::total ? "sum(u.bytes_in) + sum(u.bytes_out)" : measureColumn(by);
    Statement statement = db.prepare("SELECT " + label +
                                     ", sum(u.cpu_ms), max(u.rss_kib) * 1024, sum(u.bytes_in), "
                                     "sum(u.bytes_out), count(DISTINCT p.id) "
                                     "FROM process_usage u JOIN process p ON p.id = u.process_id "
                                     "WHERE u.time >= ?1 AND u.time < ?2 AND " +
                                     kProcessFilter + " GROUP BY " + groupKey(group) +
                                     " ORDER BY " + order + " DESC, 1 LIMIT ?5");
    bindWindow(statement, window);
    std::vector<UsageRow> rows;
    while (statement.step()) {
        rows.push_back({statement.text(0), static_cast<double>(statement.integer(1)) / 1000,
                        statement.integer(2), statement.integer(3), statement.integer(4),
                        statement.integer(5)});
    }
    return rows;
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
    Statement statement =
        db.prepare("SELECT interface, sum(bytes_in), sum(bytes_out) FROM interface_usage "
                   "WHERE time >= ?1 AND time < ?2 GROUP BY interface "
                   "ORDER BY sum(bytes_in) + sum(bytes_out) DESC, 1 LIMIT ?5");
    bindWindow(statement, window);
    std::vector<InterfaceRow> rows;
    while (statement.step()) {
        rows.push_back({statement.text(0), statement.integer(1), statement.integer(2)});
    }
    return rows;
}

} // namespace korvel::history
