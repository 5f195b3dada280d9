#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {

struct ChildProcessLimits {
    // A child still running then is killed with everything it started.
    std::chrono::milliseconds deadline{20000};
    // Output past this is drained and dropped, and the run marked incomplete.
    size_t maxOutputBytes = 16 * 1024 * 1024;
};

struct ChildProcessResult {
    // The exit code; no value when the child was ended by a signal or the deadline.
    std::optional<int> exitStatus;
    std::string standardOutput;
    bool outputComplete = true;

    bool succeeded() const { return exitStatus == 0 && outputComplete; }
};

// Runs the executable at an absolute path with the arguments (argv[0] is the
// path), without a shell. Standard input is /dev/null; standard output is
// collected and standard error drained and discarded while the child runs, so
// neither pipe can fill up and stall it. No value when it cannot be started.
std::optional<ChildProcessResult> runChildProcess(const std::string& path,
                                                  const std::vector<std::string>& arguments,
                                                  const ChildProcessLimits& limits = {});

} // namespace korvel::platform
