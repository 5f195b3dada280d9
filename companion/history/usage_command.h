#pragma once

#include <ostream>
#include <string_view>
#include <vector>

namespace korvel::history {

inline constexpr const char* kUsageUsage =
    R"(  usage [--network NAME|UUID] [--cycle | --month | --since TIME]
        [--by app|process|day] [--json | --csv]
                          Data used per network: this billing cycle's bytes in
                          and out (the interfaces' counters, every protocol),
                          the estimate at its end, the plan and what is left,
                          and what each app moved on it (TCP, and UDP where the
                          kernel meter counts it; "other" holds the rest). The
                          cycle is the plan's, else the calendar month.
)";

// `korvel-companion usage ...`: 0 on success (an empty answer, said on err,
// when nothing is recorded yet), 2 on a bad argument (said on err).
int runUsageCommand(const std::vector<std::string_view>& args, std::ostream& out,
                    std::ostream& err);

} // namespace korvel::history
