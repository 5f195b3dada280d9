#pragma once

#include <string>
#include <sys/types.h>

namespace korvel::platform::service {

// Small wrappers over AF_UNIX stream sockets; all descriptors are close-on-exec.

// Connected descriptor, or -1 with errno set. A non-blocking connect never
// waits on a listener that does not accept: it fails with EAGAIN instead, and
// the descriptor it returns stays non-blocking.
int connectUnixSocket(const std::string& path, bool nonBlocking = false);

// Bound and listening descriptor, or -1 with errno set. Removes a stale socket
// file first only when removeStale is set.
int listenUnixSocket(const std::string& path, bool removeStale);

// Writes all of data; false on error (the peer went away). Never raises SIGPIPE.
bool sendAll(int fd, const std::string& data);

// The peer's uid through SO_PEERCRED; -1 when unknown.
long peerUid(int fd);

} // namespace korvel::platform::service
