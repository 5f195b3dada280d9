#include "companion/usage/network_usage.h"

#include "companion/archive/history_schema.h"

#include <algorithm>

namespace korvel::usage {
namespace {

constexpr int64_t kHour = 3600;

int64_t hourDown(int64_t time) {
    return time - ((time % kHour) + kHour) % kHour;
}
int64_t hourUp(int64_t time) {
    return hourDown(time + kHour - 1);
}

// Which buckets cover a span: hours [hourFrom, hourTo), minutes in the two
// edge ranges.
struct Ranges {
    int64_t hourFrom = 0, hourTo = 0;
    int64_t minuteFrom[2] = {0, 0}, minuteTo[2] = {0, 0};
};

Ranges rangesFor(TimeSpan span, int64_t minutesBegin) {
    Ranges r;
    const int64_t up = hourUp(span.start), down = hourDown(span.end);
    if (down <= up) {
        // Within an hour or two: minutes alone, where they are kept.
        if (span.start >= minutesBegin) {
            r.minuteFrom[0] = span.start;
            r.minuteTo[0] = span.end;
        } else {
            r.hourFrom = hourDown(span.start);
            r.hourTo = hourUp(span.end);
        }
        return r;
    }
    r.hourFrom = up;
    r.hourTo = down;
    if (span.start >= minutesBegin) {
        r.minuteFrom[0] = span.start;
        r.minuteTo[0] = up;
    } else {
        r.hourFrom = hourDown(span.start);
    }
    if (down >= minutesBegin) {
        r.minuteFrom[1] = down;
        r.minuteTo[1] = span.end;
    } else {
        r.hourTo = hourUp(span.end);
    }
    return r;
}

// The bucket rows of a kind within the ranges ?2-?7, for network ?1.
std::string bucketRows(const char* kind, const char* columns) {
    const std::string hours = std::string(kind) + "_hour", minutes = std::string(kind) + "_minute";
    return std::string("SELECT ") + columns + " FROM " + hours +
           " WHERE network_id = ?1 AND time >= ?2 AND time < ?3 UNION ALL SELECT " + columns +
           " FROM " + minutes +
           " WHERE network_id = ?1 AND ((time >= ?4 AND time < ?5) OR (time >= ?6 AND time < ?7))";
}

} // namespace

NetworkUsage::NetworkUsage(Database& db) : db_(db) {
    networks_ = db_.prepare("SELECT id, key, name, uuid, ssid, interface, gateway, metered, "
                            "first_seen, last_seen FROM network ORDER BY last_seen DESC, id");
    rows_ = db_.prepare(bucketRows("network", "time, bytes_in, bytes_out") + " ORDER BY 1");
    // Kept by the hour alone: the hours that touch the span (?2, ?3).
    processes_ = db_.prepare(
        "SELECT u.process_id, sum(u.bytes_in), sum(u.bytes_out), p.pid, p.name, p.app_id, "
        "p.executable FROM network_process_hour AS u LEFT JOIN process AS p "
        "ON p.id = u.process_id WHERE u.network_id = ?1 AND u.time >= ?2 AND u.time < ?3 "
        "GROUP BY u.process_id ORDER BY sum(u.bytes_in) + sum(u.bytes_out) DESC, u.process_id");
    minutesBegin_ = db_.prepare("SELECT min(time) FROM network_minute")
                        .integerValue()
                        .value_or(history::kNoTime);
}

Statement& NetworkUsage::bound(Statement& statement, int64_t network, TimeSpan span) {
    const Ranges r = rangesFor(span, minutesBegin_);
    return statement.bind(1, network)
        .bind(2, r.hourFrom)
        .bind(3, r.hourTo)
        .bind(4, r.minuteFrom[0])
        .bind(5, r.minuteTo[0])
        .bind(6, r.minuteFrom[1])
        .bind(7, r.minuteTo[1]);
}

std::vector<NetworkRecord> NetworkUsage::networks() {
    std::vector<NetworkRecord> found;
    while (networks_.step()) {
        found.push_back({networks_.integer(0), networks_.text(1), networks_.text(2),
                         networks_.optionalText(3), networks_.optionalText(4), networks_.text(5),
                         networks_.optionalText(6), networks_.integer(7) != 0, networks_.integer(8),
                         networks_.integer(9)});
    }
    networks_.reset();
    return found;
}

std::vector<NetworkUsage::Row> NetworkUsage::rows(int64_t network, TimeSpan span) {
    std::vector<Row> found;
    Statement& statement = bound(rows_, network, span);
    while (statement.step()) {
        found.push_back({statement.integer(0),
                         {static_cast<uint64_t>(std::max<int64_t>(statement.integer(1), 0)),
                          static_cast<uint64_t>(std::max<int64_t>(statement.integer(2), 0))}});
    }
    statement.reset();
    return found;
}

ConnectionCounters NetworkUsage::total(int64_t network, TimeSpan span) {
    ConnectionCounters sum;
    for (const Row& row : rows(network, span)) {
        sum += row.used;
    }
    return sum;
}

std::vector<std::pair<TimeSpan, ConnectionCounters>> NetworkUsage::days(int64_t network,
                                                                        TimeSpan span) {
    std::vector<std::pair<TimeSpan, ConnectionCounters>> found;
    for (const Row& row : rows(network, span)) {
        if (found.empty() || !found.back().first.contains(row.time)) {
            found.emplace_back(localDay(row.time), ConnectionCounters{});
        }
        found.back().second += row.used;
    }
    return found;
}

std::vector<ProcessUse> NetworkUsage::processes(int64_t network, TimeSpan span) {
    std::vector<ProcessUse> found;
    Statement& statement =
        processes_.bind(1, network).bind(2, hourDown(span.start)).bind(3, hourUp(span.end));
    while (statement.step()) {
        ProcessUse& use = found.emplace_back();
        use.processId = statement.integer(0);
        use.used = {static_cast<uint64_t>(std::max<int64_t>(statement.integer(1), 0)),
                    static_cast<uint64_t>(std::max<int64_t>(statement.integer(2), 0))};
        use.pid = static_cast<int32_t>(statement.integer(3));
        use.name = statement.isNull(4) ? std::string() : statement.text(4);
        use.appId = statement.optionalText(5);
        use.executable = statement.optionalText(6);
    }
    statement.reset();
    return found;
}

} // namespace korvel::usage
