#pragma once

#include <string>

namespace korvel::platform::service {

struct ServiceSocket {
    int fd = -1;           // connected and non-blocking, else -1
    bool launched = false; // the service was started for this connection
    bool busy = false;     // someone holds the name but accepts nothing now: try later
    bool held = false;     // nobody listens and starting was not allowed
    std::string error;     // why there is no descriptor
};

// Connects to the service's socket, starting the service executable when
// nobody listens and mayLaunch is set (an empty executable means there is none
// to start): the socket is bound here and handed to
// the new process with the LISTEN_FDS/LISTEN_PID protocol, our connection
// already queued on it. A lock file keeps two clients (or a client and a
// service started by hand) from binding the name twice. Never waits on a
// service that does not accept.
ServiceSocket connectOrLaunch(const std::string& socketPath, const std::string& executable,
                              bool mayLaunch = true);

// For a service started by hand: binds the socket under the same lock, unless
// someone already answers on it (-1 with EADDRINUSE). The listening
// descriptor, or -1 with errno.
int listenUnlessServed(const std::string& socketPath);

} // namespace korvel::platform::service
