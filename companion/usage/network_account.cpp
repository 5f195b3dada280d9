#include "companion/usage/network_account.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace korvel::usage {
namespace {

// Less than this of a cycle says too little of its pace to tell its end.
constexpr int64_t kShortestPace = 3600;

std::string labelOf(const ProcessUse& use, bool byApp) {
    return byApp || use.name.empty() ? appName(use.appId, use.name) : use.name;
}

} // namespace

std::optional<DataPlan> planFor(const std::vector<DataPlan>& plans, const NetworkRecord& network) {
    const auto found = std::ranges::find_if(
        plans, [&](const DataPlan& plan) { return network.isNamed(plan.network); });
    return found != plans.end() ? std::optional(*found) : std::nullopt;
}

TimeSpan currentCycle(const std::optional<DataPlan>& plan, int64_t now) {
    return plan ? billingCycle(now, plan->cycleStartDay) : calendarMonth(now);
}

NetworkAccount accountOf(NetworkUsage& usage, const NetworkRecord& network,
                         const std::optional<DataPlan>& plan, TimeSpan span, int64_t now) {
    NetworkAccount account;
    account.network = network;
    account.span = span;
    account.used = usage.total(network.id, span);
    account.plan = plan;
    account.counted = plan ? plan->counted(account.used)
                           : saturatingAdd(account.used.bytesIn, account.used.bytesOut);
    const int64_t elapsed = now - span.start;
    if (span.contains(now) && elapsed >= kShortestPace) {
        const double pace = static_cast<double>(account.counted) / static_cast<double>(elapsed);
        account.estimate =
            static_cast<uint64_t>(std::llround(pace * static_cast<double>(span.length())));
    }
    if (plan) {
        account.left = plan->capBytes > account.counted ? plan->capBytes - account.counted : 0;
    }
    return account;
}

std::vector<UsagePart> partsOf(NetworkUsage& usage, const NetworkAccount& account, bool byApp) {
    std::vector<UsagePart> parts;
    std::map<std::string, size_t> byLabel;
    ConnectionCounters sum;
    for (const ProcessUse& use : usage.processes(account.network.id, account.span)) {
        sum += use.used;
        if (!byApp) {
            parts.push_back({labelOf(use, false), use.used, use.pid});
            continue;
        }
        const auto [at, added] = byLabel.try_emplace(labelOf(use, true), parts.size());
        if (added) {
            parts.push_back({at->first, {}});
        }
        parts[at->second].used += use.used;
    }
    std::stable_sort(parts.begin(), parts.end(), [](const UsagePart& a, const UsagePart& b) {
        return a.used.bytesIn + a.used.bytesOut > b.used.bytesIn + b.used.bytesOut;
    });
    const ConnectionCounters other{
        account.used.bytesIn > sum.bytesIn ? account.used.bytesIn - sum.bytesIn : 0,
        account.used.bytesOut > sum.bytesOut ? account.used.bytesOut - sum.bytesOut : 0};
    if (other.any()) {
        parts.push_back({"", other, std::nullopt, true});
    }
    return parts;
}

} // namespace korvel::usage
