#include "companion/history/usage_command.h"

#include "companion/archive/history_location.h"
#include "companion/archive/history_time.h"
#include "companion/history/report_table.h"
#include "companion/text/terminal_text.h"
#include "companion/usage/network_account.h"
#include "platform/defaults/user_defaults.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace korvel::history {
namespace {

enum class Span { cycle, month, since };
enum class Breakdown { app, process, day };

struct Options {
    std::optional<std::string> network;
    Span span = Span::cycle;
    int64_t since = 0;
    Breakdown by = Breakdown::app;
    Format format = Format::table;
};

std::string dayText(int64_t time) {
    return timeText(time, "%Y-%m-%d");
}

// One line of a network's breakdown: a label and what it moved.
using Part = usage::UsagePart;

// The apps (or processes) of a network, labelled for a reader.
std::vector<Part> processParts(usage::NetworkUsage& usage, const usage::NetworkAccount& account,
                               bool byApp) {
    auto parts = usage::partsOf(usage, account, byApp);
    for (Part& part : parts) {
        if (part.other) {
            part.label = "other";
        } else if (part.label.empty()) {
            part.label = "(ended, no longer recorded)";
        }
    }
    return parts;
}

std::vector<Part> dayParts(usage::NetworkUsage& usage, const usage::NetworkAccount& account) {
    std::vector<Part> parts;
    for (const auto& [day, used] : usage.days(account.network.id, account.span)) {
        parts.push_back({dayText(day.start), used});
    }
    return parts;
}

nlohmann::json accountJson(const usage::NetworkAccount& a, const std::vector<Part>& parts,
                           Breakdown by) {
    nlohmann::json record = {{"network", a.network.name},
                             {"key", a.network.key},
                             {"uuid", orNull(a.network.uuid)},
                             {"ssid", orNull(a.network.ssid)},
                             {"interface", a.network.interface},
                             {"metered", a.network.metered},
                             {"since", a.span.start},
                             {"until", a.span.end},
                             {"bytesIn", a.used.bytesIn},
                             {"bytesOut", a.used.bytesOut},
                             {"estimateBytes", orNull(a.estimate)},
                             {"plan", nullptr}};
    if (a.plan) {
        record["plan"] = usage::plansJson({*a.plan})[0];
        record["plan"]["usedBytes"] = a.counted;
        record["plan"]["leftBytes"] = orNull(a.left);
    }
    const char* member = by == Breakdown::day   ? "days"
                         : by == Breakdown::app ? "apps"
                                                : "processes";
    const char* label = by == Breakdown::day ? "day" : by == Breakdown::app ? "app" : "name";
    nlohmann::json list = nlohmann::json::array();
    for (const Part& part : parts) {
        nlohmann::json item = {
            {label, part.label}, {"bytesIn", part.used.bytesIn}, {"bytesOut", part.used.bytesOut}};
        if (part.pid) {
            item["pid"] = *part.pid;
        }
        list.push_back(std::move(item));
    }
    record[member] = std::move(list);
    return record;
}

std::string planText(const usage::NetworkAccount& a) {
    if (!a.plan) {
        return a.network.metered ? "metered, no plan" : "no plan";
    }
    const uint64_t percent = a.plan->capBytes == 0 ? 0 : a.counted * 100 / a.plan->capBytes;
    return bytesText(static_cast<int64_t>(a.counted)) + " of " +
           bytesText(static_cast<int64_t>(a.plan->capBytes)) + " (" + std::to_string(percent) +
           " %, counting " + usage::directionWord(a.plan->count) + "), " +
           bytesText(static_cast<int64_t>(a.left.value_or(0))) + " left";
}

void printTable(const std::vector<std::pair<usage::NetworkAccount, std::vector<Part>>>& accounts,
                Breakdown by, std::ostream& out) {
    for (const auto& [a, parts] : accounts) {
        out << terminalSafeText(a.network.name);
        if (a.network.ssid && *a.network.ssid != a.network.name) {
            out << " (" << terminalSafeText(*a.network.ssid) << ")";
        }
        out << " on " << terminalSafeText(a.network.interface) << ", " << dayText(a.span.start)
            << " to " << dayText(a.span.end - 1) << "\n  in " << bytesText(a.used.bytesIn)
            << ", out " << bytesText(a.used.bytesOut);
        if (a.estimate) {
            out << ", about " << bytesText(static_cast<int64_t>(*a.estimate)) << " by "
                << dayText(a.span.end - 1);
        }
        out << "\n  plan: " << planText(a) << "\n";
        if (by != Breakdown::day) {
            out << "  (apps: TCP payload, and UDP where the kernel meter counts it; other: the "
                   "rest of what the interfaces carried)\n";
        }
        Table table{{by == Breakdown::day   ? "day"
                     : by == Breakdown::app ? "app"
                                            : "process",
                     "bytes_in", "bytes_out"}};
        for (const Part& part : parts) {
            table.rows.push_back({"  " + terminalSafeText(part.label),
                                  bytesText(static_cast<int64_t>(part.used.bytesIn)),
                                  bytesText(static_cast<int64_t>(part.used.bytesOut))});
        }
        table.header[0] = "  " + table.header[0];
        print(table, Format::table, out);
        out << '\n';
    }
}

void printCsv(const std::vector<std::pair<usage::NetworkAccount, std::vector<Part>>>& accounts,
              Breakdown by, std::ostream& out) {
    Table table{{"network", "key", "part", "name", "bytes_in", "bytes_out"}};
    const char* kind = by == Breakdown::day ? "day" : by == Breakdown::app ? "app" : "process";
    for (const auto& [a, parts] : accounts) {
        table.records.push_back({{"network", a.network.name},
                                 {"key", a.network.key},
                                 {"part", "total"},
                                 {"name", ""},
                                 {"bytes_in", a.used.bytesIn},
                                 {"bytes_out", a.used.bytesOut}});
        for (const Part& part : parts) {
            table.records.push_back({{"network", a.network.name},
                                     {"key", a.network.key},
                                     {"part", kind},
                                     {"name", part.label},
                                     {"bytes_in", part.used.bytesIn},
                                     {"bytes_out", part.used.bytesOut}});
        }
    }
    print(table, Format::csv, out);
}

std::optional<std::string> parse(const std::vector<std::string_view>& args, int64_t now,
                                 Options& o) {
    static const std::map<std::string_view, Breakdown> kBreakdowns = {
        {"app", Breakdown::app}, {"process", Breakdown::process}, {"day", Breakdown::day}};
    bool spanGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view flag = args[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            return i + 1 < args.size() ? std::optional(args[++i]) : std::nullopt;
        };
        if (flag == "--network") {
            const auto name = value();
            if (!name || name->empty()) {
                return std::string("--network needs a network's name or UUID");
            }
            o.network = std::string(*name);
        } else if (flag == "--cycle" || flag == "--month" || flag == "--since") {
            if (spanGiven) {
                return std::string("give one of --cycle, --month and --since");
            }
            spanGiven = true;
            o.span = flag == "--cycle"   ? Span::cycle
                     : flag == "--month" ? Span::month
                                         : Span::since;
            if (o.span == Span::since) {
                const auto text = value();
                const auto time = text ? parseHistoryTime(*text, now) : std::nullopt;
                if (!time) {
                    return "--since needs a time such as 2d or \"2026-12-01 00:00\", not '" +
                           std::string(text.value_or("")) + "'";
                }
                o.since = *time;
            }
        } else if (flag == "--by") {
            const auto word = value();
            const auto found = word ? kBreakdowns.find(*word) : kBreakdowns.end();
            if (found == kBreakdowns.end()) {
                return std::string("--by takes app, process or day");
            }
            o.by = found->second;
        } else if (flag == "--json" || flag == "--csv") {
            o.format = flag == "--json" ? Format::json : Format::csv;
        } else {
            return "unknown option '" + std::string(flag) + "'";
        }
    }
    return std::nullopt;
}

usage::TimeSpan spanFor(const Options& o, const std::optional<usage::DataPlan>& plan, int64_t now) {
    switch (o.span) {
    case Span::cycle:
        return usage::currentCycle(plan, now);
    case Span::month:
        return usage::calendarMonth(now);
    case Span::since:
        break;
    }
    return {o.since, now + 1};
}

bool hasNetworkTables(Database& db) {
    return db.integerOf("SELECT count(*) FROM sqlite_master WHERE name = 'network'").value_or(0) >
           0;
}

int answerNothing(const Options& o, std::ostream& out, std::ostream& err, const std::string& why) {
    err << "korvel-companion usage: " << why << '\n';
    if (o.format == Format::json) {
        out << nlohmann::json{{"networks", nlohmann::json::array()}}.dump(2) << '\n';
    } else if (o.format == Format::csv) {
        printCsv({}, o.by, out);
    }
    return 0;
}

} // namespace

int runUsageCommand(const std::vector<std::string_view>& args, std::ostream& out,
                    std::ostream& err) {
    if (std::ranges::find_if(args, [](std::string_view a) { return a == "--help" || a == "-h"; }) !=
        args.end()) {
        out << "Usage: korvel-companion\n" << kUsageUsage;
        return 0;
    }
    const int64_t now = std::time(nullptr);
    Options options;
    if (const auto complaint = parse(args, now, options)) {
        err << "korvel-companion usage: " << *complaint << "\nUsage:\n" << kUsageUsage;
        return 2;
    }
    const auto place = historyPlace();
    std::string error = "no home directory is known";
    auto db = place ? openHistoryForReading(*place, error) : std::nullopt;
    if (!db || !hasNetworkTables(*db)) {
        return answerNothing(options, out, err, "nothing is recorded yet");
    }
    const auto plans = usage::plansFrom(
        platform::UserDefaults::companion().object(usage::kDataPlansKey).value_or(nullptr));
    usage::NetworkUsage usage(*db);
    std::vector<std::pair<usage::NetworkAccount, std::vector<Part>>> accounts;
    for (const usage::NetworkRecord& network : usage.networks()) {
        if (options.network && !network.isNamed(*options.network)) {
            continue;
        }
        const auto plan = usage::planFor(plans, network);
        auto account = usage::accountOf(usage, network, plan, spanFor(options, plan, now), now);
        auto parts = options.by == Breakdown::day
                         ? dayParts(usage, account)
                         : processParts(usage, account, options.by == Breakdown::app);
        accounts.emplace_back(std::move(account), std::move(parts));
    }
    if (accounts.empty()) {
        return answerNothing(options, out, err,
                             options.network
                                 ? "no network named '" + terminalSafeText(*options.network) +
                                       "' is recorded"
                                 : std::string("nothing is recorded yet"));
    }
    if (options.format == Format::json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [account, parts] : accounts) {
            list.push_back(accountJson(account, parts, options.by));
        }
        out << nlohmann::json{{"networks", std::move(list)}}.dump(2) << '\n';
    } else if (options.format == Format::csv) {
        printCsv(accounts, options.by, out);
    } else {
        printTable(accounts, options.by, out);
    }
    return 0;
}

} // namespace korvel::history
