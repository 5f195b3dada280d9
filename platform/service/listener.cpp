#include "platform/service/listener.h"

#include "platform/service/service_directory.h"
#include "platform/service/service_launcher.h"
#include "platform/service/unix_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace korvel::platform::service {
namespace {

constexpr int kFirstPassedDescriptor = 3;

// The socket passed by a service manager, consumed so children do not
// inherit it: -1 when none was passed, -2 when what was passed is unusable.
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
    int listening = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(kFirstPassedDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM ||
        ::getsockopt(kFirstPassedDescriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
        listening == 0) {
        return -2;
    }
    ::fcntl(kFirstPassedDescriptor, F_SETFD, FD_CLOEXEC);
    return kFirstPassedDescriptor;
}

// The listener on the socket handed over, else the one `bind` makes.
template <typename Bind> std::unique_ptr<Listener> passedOr(std::string& error, const Bind& bind) {
    const int passed = passedListenSocket();
    if (passed >= 0) {
        return std::make_unique<Listener>(passed);
    }
    if (passed == -2) {
        error = "descriptor 3, handed over by LISTEN_FDS, is not a listening stream socket";
        return nullptr;
    }
    return bind();
}

} // namespace

std::unique_ptr<Listener> Listener::serviceListener(const std::string& serviceName,
                                                    std::string& error) {
    return passedOr(error, [&]() -> std::unique_ptr<Listener> {
        const auto path = serviceSocketPath(serviceName);
        if (!path) {
            error = "no private service directory (under $XDG_RUNTIME_DIR, or /tmp without one)";
            return nullptr;
        }
        return boundListener(*path, error);
    });
}

std::unique_ptr<Listener> Listener::socketListener(const std::string& path, std::string& error) {
    return passedOr(error, [&] { return boundListener(path, error); });
}

std::unique_ptr<Listener> Listener::boundListener(const std::string& path, std::string& error) {
    // Started by hand: take the name over only when nobody answers on it.
    const int fd = listenUnlessServed(path);
    if (fd < 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
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

bool Listener::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> fds;
    auto quietSince = Clock::now();
    while (!stopping_) {
        const auto now = Clock::now();
        int timeoutMs = -1;
        const auto wakeAt = [&](Clock::time_point when) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
            const int ms = static_cast<int>(std::clamp<long>(left, 0, 3600L * 1000));
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        };
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto& connection : connections_) {
            // Read only what we are ready to serve: the rest waits in the socket.
            short events = connection->request_ ? 0 : POLLIN;
            if (!connection->outgoing_.empty()) {
                events |= POLLOUT;
                wakeAt(connection->lastProgress_ + sendTimeout_);
            }
            if (ready(*connection)) {
                timeoutMs = 0;
            }
            fds.push_back({connection->fd_, events, 0});
        }
        if (connections_.empty() && idleExit_.count() > 0) {
            wakeAt(quietSince + idleExit_);
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        // Walk the connections first: accepting would shift the indices.
        for (size_t i = connections_.size(); i-- > 0;) {
            auto& connection = *connections_[i];
            const short events = fds[i + 2].revents;
            const bool alive = !(events & (POLLERR | POLLNVAL)) &&
                               (!(events & POLLOUT) || flush(connection)) &&
                               (!(events & (POLLIN | POLLHUP)) || receive(connection));
            const bool stalled = !connection.outgoing_.empty() &&
                                 Clock::now() - connection.lastProgress_ >= sendTimeout_;
            if (!alive || stalled) {
                close(i);
            }
        }
        // One request per connection per turn.
        for (size_t i = connections_.size(); i-- > 0;) {
            if (ready(*connections_[i]) && !serveOne(*connections_[i])) {
                close(i);
            }
        }
        if (fds[1].revents & POLLIN) {
            acceptConnections();
        }
        if (!connections_.empty() || idleExit_.count() <= 0) {
            quietSince = Clock::now();
        } else if (Clock::now() - quietSince >= idleExit_) {
            // A client connecting at this very moment is either accepted here
            // or finds its socket closed unanswered and starts us again.
            pollfd waiting{listenFd_, POLLIN, 0};
            if (::poll(&waiting, 1, 0) == 0) {
                return true;
            }
        }
    }
    return true;
}

bool Listener::ready(const IncomingConnection& connection) const {
    return connection.request_ && connection.outgoing_.size() < kMaxQueuedOutput;
}

void Listener::close(size_t index) {
    ::close(connections_[index]->fd_);
    connections_.erase(connections_.begin() + static_cast<long>(index));
}

void Listener::acceptConnections() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;
        }
        auto connection = std::make_unique<IncomingConnection>();
        connection->fd_ = fd;
        connection->peerUid_ = peerUid(fd);
        connection->reader_ = std::make_unique<FrameReader>(kMaxRequestBody);
        connection->lastProgress_ = std::chrono::steady_clock::now();
        const bool sameUser = everyUser_ || connection->peerUid_ == static_cast<long>(::getuid());
        if (!sameUser || delegate_ == nullptr || !resumed_ ||
            !delegate_->shouldAcceptNewConnection(*this, *connection) || !connection->resumed_ ||
            !connection->exported_) {
            ::close(fd);
            continue;
        }
        if (connections_.size() >= kMaxConnections) {
            // Idle clients must not lock out a new one: the quietest idle one goes.
            const auto busy = [](const auto& c) { return c->request_ || !c->outgoing_.empty(); };
            const auto quietest = std::ranges::min_element(connections_, {}, [&](const auto& c) {
                return std::pair(busy(c), c->lastProgress_);
            });
            if (busy(*quietest)) {
                ::close(fd);
                continue;
            }
            close(static_cast<size_t>(quietest - connections_.begin()));
        }
        connection->outgoing_.assign(1, kAcceptGreeting);
        if (flush(*connection)) {
            connections_.push_back(std::move(connection));
        } else {
            ::close(fd);
        }
    }
}

bool Listener::flush(IncomingConnection& connection) {
    while (!connection.outgoing_.empty()) {
        const ssize_t n = ::send(connection.fd_, connection.outgoing_.data(),
                                 connection.outgoing_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        connection.outgoing_.erase(0, static_cast<size_t>(n));
        connection.lastProgress_ = std::chrono::steady_clock::now();
    }
    return true;
}

bool Listener::receive(IncomingConnection& connection) {
    if (connection.request_) {
        return true; // one at a time: the rest stays in the socket
    }
    std::string body;
    auto status = connection.reader_->next(body);
    if (status == FrameReader::Status::needMore) {
        char buffer[4096];
        const ssize_t n = ::recv(connection.fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return false;
        }
        if (n > 0) {
            connection.reader_->append(buffer, static_cast<size_t>(n));
            connection.lastProgress_ = std::chrono::steady_clock::now();
            status = connection.reader_->next(body);
        }
    }
    switch (status) {
    case FrameReader::Status::needMore:
        return true;
    case FrameReader::Status::tooLarge:
        return false;
    case FrameReader::Status::complete:
        connection.request_ = decodeRequestBody(body);
        return connection.request_.has_value();
    }
    return false;
}

bool Listener::serveOne(IncomingConnection& connection) {
    const Request request = *std::exchange(connection.request_, std::nullopt);
    if (connection.outgoing_.empty()) {
        connection.lastProgress_ = std::chrono::steady_clock::now();
    }
    bool replied = false;
    connection.exported_->handle(request, [&](const Reply& reply) {
        if (!replied) {
            replied = true;
            connection.outgoing_ += encodeReplyFrame(reply);
        }
    });
    if (!replied) {
        connection.outgoing_ += encodeReplyFrame(Reply{});
    }
    // The next request may already be buffered.
    return flush(connection) && receive(connection);
}

} // namespace korvel::platform::service
