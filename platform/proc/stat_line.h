#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel::platform::proc {

// The fields of /proc/<pid>/stat this layer uses. `comm` points into the text
// that was parsed.
struct StatLine {
    std::string_view comm;
    int32_t ppid = 0;
    uint64_t flags = 0;
    uint64_t utimeTicks = 0;
    uint64_t stimeTicks = 0;
    uint64_t startTimeTicks = 0; // since boot: with the pid, names one process
    uint64_t vsizeBytes = 0;
    uint64_t rssPages = 0;
};

// The kernel's per-task flag marking a kernel thread.
inline constexpr uint64_t kKernelThreadFlag = 0x00200000;

// "pid (comm) state ppid ...": comm is whatever lies between the first "(" and
// the last ")", since a task may name itself with spaces, parentheses or even
// newlines. No value when the text is cut short or a used field is not a number.
std::optional<StatLine> parseStatLine(std::string_view text);

} // namespace korvel::platform::proc
