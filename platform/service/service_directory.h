#pragma once

#include <optional>
#include <string>

namespace korvel::platform::service {

// The user's runtime directory: $XDG_RUNTIME_DIR when that is an absolute
// path, else <runUserRoot>/<uid> when the login manager made it (a directory
// of ours that nobody else may enter). A cron job or an ssh shell often lacks
// the variable though the session's directory exists, and a second engine
// must find the first one there. No value when neither holds.
std::optional<std::string> runtimeDirectory(const std::string& runUserRoot = "/run/user");

// <runtime directory>/qn.Korvel (see runtimeDirectory), or /tmp/qn.Korvel-<uid>
// without one; created 0700 when missing. No value when it exists but is not a
// private directory of ours (someone else's, a symlink, or group/world access).
std::optional<std::string> serviceDirectory();

// The Unix socket path standing for a service name, inside serviceDirectory().
std::optional<std::string> serviceSocketPath(const std::string& serviceName);

} // namespace korvel::platform::service
