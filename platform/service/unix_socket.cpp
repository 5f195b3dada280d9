#include "platform/service/unix_socket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvel::platform::service {
namespace {

// Closes fd after a failure, keeping the errno that says why; returns -1.
int closeAfterFailure(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// A new stream socket and the address of path, or -1 with errno.
int socketFor(const std::string& path, int flags, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
}

} // namespace

int connectUnixSocket(const std::string& path, bool nonBlocking) {
    sockaddr_un address{};
    const int fd = socketFor(path, nonBlocking ? SOCK_NONBLOCK : 0, address);
    if (fd < 0) {
        return -1;
    }
    while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINTR) {
            return closeAfterFailure(fd);
        }
    }
    return fd;
}

int listenUnixSocket(const std::string& path, bool removeStale) {
    sockaddr_un address{};
    const int fd = socketFor(path, 0, address);
    if (fd < 0) {
        return -1;
    }
    if (removeStale) {
        ::unlink(path.c_str());
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        return closeAfterFailure(fd);
    }
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

long peerUid(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return -1;
    }
    return static_cast<long>(credentials.uid);
}

} // namespace korvel::platform::service
