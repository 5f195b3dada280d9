#pragma once

#include <optional>
#include <string_view>

namespace korvel::platform::proc {

// The cgroup path of a process from the text of /proc/<pid>/cgroup: the
// unified hierarchy's "0::<path>" line, else systemd's "<n>:name=systemd:<path>"
// line (a host with cgroup v1 only). A path holds anything after the second
// colon, colons included; the kernel's " (deleted)" mark of a removed cgroup
// is dropped. No value when neither line is there. Points into the text.
std::optional<std::string_view> parseCgroupPath(std::string_view text);

} // namespace korvel::platform::proc
