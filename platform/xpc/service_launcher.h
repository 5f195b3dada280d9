#pragma once

#include <string>

namespace korvel::platform::xpc {

// Connects to the service's socket, starting the service executable when
// nobody listens: the socket is bound here and handed to the new process with
// the LISTEN_FDS/LISTEN_PID protocol, so it is connectable before the service
// has even started. A lock file keeps two clients from starting two services.
// An empty executable means there is none to start. Returns a connected
// descriptor, or -1 with `error` describing why.
int connectOrLaunch(const std::string& socketPath, const std::string& executable,
                    std::string& error);

} // namespace korvel::platform::xpc
