#pragma once

#include <ostream>
#include <string_view>
#include <vector>

namespace korvel::history {

inline constexpr const char* kHistoryUsage =
    R"(  history [--since TIME] [--until TIME] [--top N] [--by cpu|memory|in|out|total]
          [--group process|executable|app|unit|user|container]
          [--process NAME|PID] [--connections | --interfaces]
          [--json | --csv | --openmetrics]
                          What the recorded history says about the processes
                          (CPU seconds, peak memory, TCP bytes), the remote
                          endpoints they talked to, or the interfaces. TIME is
                          "30m", "3h", "2d", "YYYY-MM-DD HH:MM", "today HH:MM"
                          or "yesterday HH:MM"; the last 24 hours by default.
)";

// `korvel-companion history ...`: 0 on success, 1 when there is no history to
// read, 2 on a bad argument (said on err).
int runHistoryCommand(const std::vector<std::string_view>& args, std::ostream& out,
                      std::ostream& err);

} // namespace korvel::history
