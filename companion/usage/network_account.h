#pragma once

#include "companion/usage/data_plan.h"
#include "companion/usage/network_usage.h"

#include <optional>
#include <vector>

namespace korvel::usage {

// One network's account over a span: what it moved, its plan, and where the
// cycle is heading.
struct NetworkAccount {
    NetworkRecord network;
    TimeSpan span;
    ConnectionCounters used;
    std::optional<DataPlan> plan;
    uint64_t counted = 0;             // of used, what the plan counts (both without one)
    std::optional<uint64_t> estimate; // counted at the span's end, at the pace so far
    std::optional<uint64_t> left;     // of the plan's cap

    // A plan makes a budget; a metered network is tracked without one.
    bool isTracked() const { return plan.has_value() || network.metered; }
};

// The plan for a network: by UUID, name or key.
std::optional<DataPlan> planFor(const std::vector<DataPlan>& plans, const NetworkRecord& network);
// The span "this cycle" means for a network at `now`: its plan's billing
// cycle, else the calendar month.
TimeSpan currentCycle(const std::optional<DataPlan>& plan, int64_t now);

NetworkAccount accountOf(NetworkUsage& usage, const NetworkRecord& network,
                         const std::optional<DataPlan>& plan, TimeSpan span, int64_t now);

// What one app or process moved of an account.
struct UsagePart {
    std::string label; // app id, else process name; empty once the history let it go
    ConnectionCounters used;
    std::optional<int32_t> pid = std::nullopt; // per process only
    bool other = false;                        // what the interfaces carried beyond every process
};

// The account's apps (or processes), busiest first, then "other", so that
// the parts add up to the account's total.
std::vector<UsagePart> partsOf(NetworkUsage& usage, const NetworkAccount& account, bool byApp);

} // namespace korvel::usage
