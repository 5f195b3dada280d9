#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::meter {

// Where a cgroup v2 hierarchy's root is mounted, in the text of
// /proc/self/mountinfo; the first such mount.
std::optional<std::string> cgroup2MountPoint(std::string_view mountinfo);

// The system's cgroup v2 root, else a private one mounted at `fallback` (a
// system on cgroup v1 keeps every process in the v2 root, so programs there
// still see every socket). No value, with the reason in why, when neither is
// possible.
std::optional<std::string> cgroup2Root(const std::string& fallback, std::string& why);

} // namespace korvel::meter
