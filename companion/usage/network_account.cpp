#include "companion/usage/network_account.h"

#include <cmath>

namespace korvel::usage {
namespace {

// Less than this of a cycle says too little of its pace to tell its end.
constexpr int64_t kShortestPace = 3600;

} // namespace

std::optional<DataPlan> planFor(const std::vector<DataPlan>& plans, const NetworkRecord& network) {
    for (const DataPlan& plan : plans) {
        if (network.isNamed(plan.network)) {
            return plan;
        }
    }
    return std::nullopt;
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

} // namespace korvel::usage
