#include "platform/program/control_socket.h"

#include "platform/service/unix_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace korvel::platform {

struct ControlSocketServer::State {
    Dispatch* dispatch = nullptr;
    std::mutex mutex;
    Handler handler; // cleared on destruction, on the main queue
};

namespace {

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Reads up to the first newline, end of file or the length limit. None on a
// timeout, an error, or an end of file before anything came.
std::optional<std::string> readLine(int fd, size_t limit) {
    std::string line;
    char buffer[128];
    while (line.size() < limit) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 && !line.empty() ? std::optional(line) : std::nullopt;
        }
        line.append(buffer, static_cast<size_t>(n));
        if (const auto newline = line.find('\n'); newline != std::string::npos) {
            line.resize(newline);
            return line;
        }
    }
    line.resize(limit);
    return line;
}

void serveOne(int client, const std::shared_ptr<ControlSocketServer::State>& state) {
    if (service::peerUid(client) != static_cast<long>(::getuid())) {
        ::close(client);
        return;
    }
    setTimeouts(client, std::chrono::milliseconds(1000));
    auto line = readLine(client, ControlSocketServer::kMaxCommandLength);
    if (!line) {
        ::close(client);
        return;
    }
    std::string command = std::move(*line);
    if (!command.empty() && command.back() == '\r') {
        command.pop_back();
    }
    std::weak_ptr<ControlSocketServer::State> weak = state;
    state->dispatch->onMain([weak, client, command] {
        std::optional<std::string> answer;
        if (auto strong = weak.lock()) {
            ControlSocketServer::Handler handler;
            {
                std::lock_guard lock(strong->mutex);
                handler = strong->handler;
            }
            if (handler) {
                answer = handler(command);
            }
        }
        if (answer) {
            service::sendAll(client, *answer + "\n");
        }
        ::close(client);
    });
}

void serve(int listenFd, int stopFd, std::shared_ptr<ControlSocketServer::State> state) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            serveOne(client, state);
        }
    }
}

} // namespace

std::unique_ptr<ControlSocketServer> ControlSocketServer::listen(const std::string& path,
                                                                 Dispatch& dispatch,
                                                                 Handler handler,
                                                                 std::string& error) {
    const int listenFd = service::listenUnixSocket(path, true);
    if (listenFd < 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        ::close(listenFd);
        ::unlink(path.c_str());
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->dispatch = &dispatch;
    state->handler = std::move(handler);
    std::unique_ptr<ControlSocketServer> server(
        new ControlSocketServer(path, listenFd, pipeFds[1], state));
    server->thread_ = std::thread([listenFd, stopRead = pipeFds[0], state] {
        serve(listenFd, stopRead, state);
        ::close(stopRead);
    });
    return server;
}

ControlSocketServer::ControlSocketServer(std::string path, int listenFd, int stopFd,
                                         std::shared_ptr<State> state)
    : path_(std::move(path)), listenFd_(listenFd), stopFd_(stopFd), state_(std::move(state)) {}

ControlSocketServer::~ControlSocketServer() {
    {
        std::lock_guard lock(state_->mutex);
        state_->handler = nullptr;
    }
    const char stop = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd_, &stop, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(stopFd_);
    ::close(listenFd_);
    ::unlink(path_.c_str());
}

std::optional<std::string> sendControlCommand(const std::string& path, const std::string& command,
                                              std::chrono::milliseconds timeout,
                                              std::string& error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    int fd = -1;
    for (;;) {
        fd = service::connectUnixSocket(path);
        if (fd >= 0) {
            break;
        }
        const int saved = errno;
        if ((saved != ENOENT && saved != ECONNREFUSED) || Clock::now() >= deadline) {
            error = "cannot connect to " + path + ": " + std::strerror(saved);
            return std::nullopt;
        }
        ::usleep(50 * 1000);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    setTimeouts(fd, std::max(left, std::chrono::milliseconds(100)));
    // A server that cut an overlong command may answer and close before the
    // rest goes out: its answer is still there to read.
    if (!service::sendAll(fd, command + "\n") && errno != EPIPE) {
        error = "cannot send to " + path + ": " + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    ::shutdown(fd, SHUT_WR);
    auto answer = readLine(fd, ControlSocketServer::kMaxCommandLength);
    ::close(fd);
    if (!answer) {
        error = "no answer on " + path;
    }
    return answer;
}

} // namespace korvel::platform
