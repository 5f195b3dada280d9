#pragma once

#include <string>

namespace korvel::platform::xpc {

// Connects to the service's socket, starting the service executable when
// nobody listens: the socket is bound here and handed to the new process with
// the LISTEN_FDS/LISTEN_PID protocol, so it is connectable before the service
// has even started. A lock file keeps two clients from starting two services.
// Returns a connected descriptor, or -1 with `error` describing why.
int connectOrLaunch(const std::string& socketPath, const std::string& executable,
                    std::string& error);

// The bundled helper next to the running program: <dir of /proc/self/exe>/name,
// else <dir>/../libexec/korvel/name.
std::string bundledExecutable(const std::string& name);

} // namespace korvel::platform::xpc
