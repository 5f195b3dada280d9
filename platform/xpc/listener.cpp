#include "platform/xpc/listener.h"

#include "platform/xpc/service_directory.h"
#include "platform/xpc/service_launcher.h"
#include "platform/xpc/unix_socket.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::platform::xpc {
namespace {

constexpr int kFirstPassedDescriptor = 3;

// The socket passed by a service manager, consumed so children do not inherit it.
int passedListenSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    const bool forUs = pid != nullptr && fds != nullptr &&
                       std::strtol(pid, nullptr, 10) == static_cast<long>(::getpid()) &&
                       std::strtol(fds, nullptr, 10) >= 1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!forUs) {
        return -1;
    }
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(kFirstPassedDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
        return -1;
    }
    ::fcntl(kFirstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return kFirstPassedDescriptor;
}

} // namespace

std::unique_ptr<Listener> Listener::serviceListener(const std::string& serviceName) {
    if (const int fd = passedListenSocket(); fd >= 0) {
        return std::make_unique<Listener>(fd);
    }
    const auto path = serviceSocketPath(serviceName);
    if (!path) {
        return nullptr;
    }
    // Started by hand: take the name over only when nobody answers on it.
    if (const int probe = connectUnixSocket(*path); probe >= 0) {
        ::close(probe);
        return nullptr;
    }
    const int fd = listenUnixSocket(*path, /*removeStale=*/true);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<Listener>(fd);
}

Listener::Listener(int listenFd)
    : listenFd_(listenFd), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
}

Listener::~Listener() {
    for (auto& connection : connections_) {
        ::close(connection->fd_);
    }
    ::close(listenFd_);
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void Listener::stop() {
    stopping_ = true;
    const uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void Listener::run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto& connection : connections_) {
            fds.push_back({connection->fd_, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        // Walk the connections first: accepting would shift the indices.
        for (size_t i = connections_.size(); i-- > 0;) {
            const short events = fds[i + 2].revents;
            if (events == 0) {
                continue;
            }
            if (!serviceReadable(*connections_[i])) {
                ::close(connections_[i]->fd_);
                connections_.erase(connections_.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents & POLLIN) {
            acceptConnections();
        }
    }
}

void Listener::acceptConnections() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        auto connection = std::make_unique<IncomingConnection>();
        connection->fd_ = fd;
        connection->peerUid_ = peerUid(fd);
        connection->reader_ = std::make_unique<FrameReader>(kMaxRequestBody);
        const bool sameUser = connection->peerUid_ == static_cast<long>(::getuid());
        if (!sameUser || connections_.size() >= kMaxConnections || delegate_ == nullptr ||
            !resumed_ || !delegate_->shouldAcceptNewConnection(*this, *connection) ||
            !connection->resumed_ || !connection->exported_) {
            ::close(fd);
            continue;
        }
        // A client that stops reading must not stall the service forever.
        const timeval sendTimeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        if (!sendAll(fd, std::string(1, kAcceptGreeting))) {
            ::close(fd);
            continue;
        }
        connections_.push_back(std::move(connection));
    }
}

bool Listener::serviceReadable(IncomingConnection& connection) {
    char buffer[4096];
    const ssize_t n = ::recv(connection.fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) {
        return false;
    }
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    connection.reader_->append(buffer, static_cast<size_t>(n));
    std::string body;
    for (;;) {
        const auto status = connection.reader_->next(body);
        if (status == FrameReader::Status::needMore) {
            return true;
        }
        if (status == FrameReader::Status::tooLarge) {
            return false;
        }
        const auto request = decodeRequestBody(body);
        if (!request) {
            return false;
        }
        bool replied = false;
        bool delivered = true;
        connection.exported_->handle(*request, [&](const Reply& reply) {
            if (replied) {
                return;
            }
            replied = true;
            delivered = sendAll(connection.fd_, encodeReplyFrame(reply));
        });
        if (!replied) {
            delivered = sendAll(connection.fd_, encodeReplyFrame(Reply{}));
        }
        if (!delivered) {
            return false;
        }
    }
}

} // namespace korvel::platform::xpc
