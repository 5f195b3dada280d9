#pragma once

#include <optional>
#include <string>

namespace korvel::platform::service {

// <runtime directory>/qn.Korvel (see runtimeDirectory), or /tmp/qn.Korvel-<uid>
// without one; created 0700 when missing. No value when it exists but is not a
// private directory of ours (someone else's, a symlink, or group/world access).
std::optional<std::string> serviceDirectory();

// The Unix socket path standing for a service name, inside serviceDirectory().
std::optional<std::string> serviceSocketPath(const std::string& serviceName);

} // namespace korvel::platform::service
