#include "companion/history/plan_watch.h"

#include "companion/text/figure_text.h"
#include "companion/text/prometheus_exposition.h"
#include "platform/program/owned_directory.h"

#include <algorithm>
#include <map>

namespace korvel::history {
namespace {

constexpr unsigned kReadableByOthers = 0644;
constexpr size_t kTopApps = 3;

std::vector<std::pair<std::string, uint64_t>> topApps(usage::NetworkUsage& usage,
                                                      const usage::NetworkAccount& account) {
    std::vector<std::pair<std::string, uint64_t>> apps;
    for (const usage::UsagePart& part : usage::partsOf(usage, account, true)) {
        if (!part.other && !part.label.empty() && apps.size() < kTopApps) {
            apps.emplace_back(part.label, saturatingAdd(part.used.bytesIn, part.used.bytesOut));
        }
    }
    return apps;
}

// Records that a level was reached in a cycle; true when it is news.
bool firstTime(Database& db, const usage::NetworkAccount& account, const char* level, int64_t now) {
    Statement insert = db.prepare(
        "INSERT INTO plan_alert (network_key, cycle_start, level, time) VALUES (?1, ?2, ?3, ?4) "
        "ON CONFLICT DO NOTHING RETURNING 1");
    insert.bind(1, std::string_view(account.network.key))
        .bind(2, account.span.start)
        .bind(3, std::string_view(level))
        .bind(4, now);
    const bool inserted = insert.step();
    insert.reset();
    return inserted;
}

} // namespace

std::string planEventSummary(const PlanEvent& event) {
    return event.capReached ? event.network + " has reached its data plan"
                            : event.network + " has used " + std::to_string(event.percent) +
                                  " % of its data plan";
}

std::string planEventBody(const PlanEvent& event) {
    std::string body = formatDecimalBytes(event.counted) + " of " +
                       formatDecimalBytes(event.capBytes) + " used this cycle.";
    if (!event.topApps.empty()) {
        body += " Most used by";
        for (size_t i = 0; i < event.topApps.size(); ++i) {
            body += (i == 0 ? " " : ", ") + event.topApps[i].first + " (" +
                    formatDecimalBytes(event.topApps[i].second) + ")";
        }
        body += ".";
    }
    return body;
}

Notice noticeOf(const PlanEvent& event) {
    return {planEventSummary(event), planEventBody(event), event.network};
}

Notice noticeOf(const AppSurge& surge) {
    return {surge.app + " moved " + formatDecimalBytes(surge.bytes) + " in " +
                std::to_string(surge.minutes) + " minutes",
            "Over every network, in and out together. The alert is set with appAlertMegabytes "
            "and appAlertMinutes."};
}

void PlanWatch::noteReading(const HistoryReading& reading, const AppAlert& alert) {
    if (alert.bytes == 0 || alert.seconds <= 0) {
        recent_.clear();
        return;
    }
    std::map<std::string, uint64_t> moved;
    for (const NetworkSample& network : reading.networks) {
        for (const auto& [index, used] : network.processes) {
            if (index < reading.processes.size()) {
                const ProcessSample& p = reading.processes[index];
                const std::string app = usage::appName(p.appId, p.name);
                moved[app] = saturatingAdd(moved[app], saturatingAdd(used.bytesIn, used.bytesOut));
            }
        }
    }
    recent_.emplace_back(reading.time, std::move(moved));
    while (!recent_.empty() && recent_.front().first <= reading.time - alert.seconds) {
        recent_.pop_front();
    }
    std::map<std::string, uint64_t> window;
    for (const auto& [time, apps] : recent_) {
        for (const auto& [app, bytes] : apps) {
            window[app] = saturatingAdd(window[app], bytes);
        }
    }
    for (const auto& [app, bytes] : window) {
        const auto told = appToldAt_.find(app);
        if (bytes <= alert.bytes ||
            (told != appToldAt_.end() && reading.time - told->second < alert.seconds)) {
            continue;
        }
        appToldAt_[app] = reading.time;
        if (outlets_.tell) {
            outlets_.tell(noticeOf(AppSurge{app, bytes, alert.seconds / 60}));
        }
    }
}

void PlanWatch::afterWrite(Database& db, const std::vector<usage::DataPlan>& plans, int64_t now) {
    usage::NetworkUsage usage(db);
    std::vector<usage::NetworkAccount> tracked;
    for (const usage::NetworkRecord& network : usage.networks()) {
        const auto plan = usage::planFor(plans, network);
        if (!plan && !network.metered) {
            continue;
        }
        tracked.push_back(
            usage::accountOf(usage, network, plan, usage::currentCycle(plan, now), now));
        const usage::NetworkAccount& account = tracked.back();
        if (!plan || account.counted < plan->warningBytes()) {
            continue;
        }
        // Both levels are remembered; a reading that crosses both tells the cap alone.
        const bool capReached = account.counted >= plan->capBytes;
        const bool warningNews = firstTime(db, account, "warning", now);
        const bool capNews = capReached && firstTime(db, account, "cap", now);
        if ((warningNews || capNews) && outlets_.tell) {
            outlets_.tell(
                noticeOf(PlanEvent{network.name, capNews, account.counted, plan->capBytes,
                                   capNews ? 100 : plan->warningPercent, topApps(usage, account)}));
        }
    }
    writeSeries(tracked);
}

std::string usageExposition(const std::vector<usage::NetworkAccount>& tracked) {
    using exposition::MetricFamily;
    MetricFamily cycle{"korvel_network_cycle_bytes",
                       "Bytes a tracked network moved in its current billing cycle (the calendar "
                       "month without a plan).",
                       "gauge",
                       {}};
    MetricFamily plan{
        "korvel_network_plan_bytes", "The cap of a network's data plan.", "gauge", {}};
    for (const auto& account : tracked) {
        cycle.samples.push_back({{{"network", account.network.name}, {"direction", "in"}},
                                 static_cast<double>(account.used.bytesIn)});
        cycle.samples.push_back({{{"network", account.network.name}, {"direction", "out"}},
                                 static_cast<double>(account.used.bytesOut)});
        if (account.plan) {
            plan.samples.push_back(
                {{{"network", account.network.name}}, static_cast<double>(account.plan->capBytes)});
        }
    }
    return exposition::renderExposition({cycle, plan});
}

void PlanWatch::writeSeries(const std::vector<usage::NetworkAccount>& tracked) {
    const std::string folder = outlets_.textfileDirectory ? outlets_.textfileDirectory() : "";
    std::string error;
    if (!writtenDirectory_.empty() && writtenDirectory_ != folder) {
        if (const auto previous = platform::OwnedDirectory::openPath(writtenDirectory_, error)) {
            previous->removeFile(kUsageTextfileName);
        }
        writtenDirectory_.clear();
    }
    if (folder.empty()) {
        return;
    }
    // Failures are the export's to report: it writes to the same directory.
    const auto directory = platform::OwnedDirectory::openPath(folder, error);
    if (directory && directory->replaceFile(kUsageTextfileName, usageExposition(tracked), error,
                                            kReadableByOthers)) {
        writtenDirectory_ = folder;
    }
}

} // namespace korvel::history
