#include "platform/xpc/connection.h"

#include "platform/xpc/service_directory.h"
#include "platform/xpc/service_launcher.h"
#include "platform/xpc/unix_socket.h"

#include <cerrno>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace korvel::platform::xpc {
namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
    Connection::ReplyHandler reply;
    Connection::ErrorHandler error;
    Clock::time_point deadline;
    std::string frame; // kept to resend when a fresh socket is refused
};

// A service killed a moment ago can still hold its listening socket: a
// connect then lands in the backlog of a dying process and reads end of
// file. Such a socket was never accepted (no greeting came), so its requests
// are resent on a new one (starting the service again) a few times before they
// count as failed. A service that dies after accepting is an interruption.
constexpr int kFreshSocketRetries = 3;
constexpr std::chrono::milliseconds kFreshSocketRetryPause{20};

void failAll(std::deque<Pending> pending, const std::string& description) {
    for (auto& request : pending) {
        if (request.error) {
            request.error(description);
        }
    }
}

} // namespace

struct Connection::State {
    State(std::string name, ConnectionOptions opts)
        : serviceName(std::move(name)), options(std::move(opts)),
          wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~State() {
        if (fd >= 0) {
            ::close(fd);
        }
        ::close(wakeFd);
    }

    const std::string serviceName;
    const ConnectionOptions options;
    std::mutex mutex;
    int fd = -1;
    const int wakeFd;
    bool resumed = false;
    bool invalid = false;
    bool stopping = false;
    std::deque<Pending> pending;
    std::function<void()> interruptionHandler;
    std::function<void()> invalidationHandler;

    void wake() {
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }

    // Marks the connection dead, fails what was pending, then tells the owner.
    void invalidate(const std::string& description) {
        std::deque<Pending> failed;
        std::function<void()> handler;
        {
            std::lock_guard lock(mutex);
            if (invalid) {
                return;
            }
            invalid = true;
            if (fd >= 0) {
                // shutdown, not close: the I/O thread may be polling it.
                ::shutdown(fd, SHUT_RDWR);
            }
            failed = std::exchange(pending, {});
            handler = std::exchange(invalidationHandler, {});
            interruptionHandler = {};
        }
        wake();
        failAll(std::move(failed), description);
        if (handler) {
            handler();
        }
    }

    void run();
    bool resendOnFreshSocket(int refused, FrameReader& reader);
};

std::shared_ptr<Connection> Connection::create(std::string serviceName, ConnectionOptions options) {
    return std::shared_ptr<Connection>(new Connection(std::move(serviceName), std::move(options)));
}

Connection::Connection(std::string serviceName, ConnectionOptions options)
    : serviceName_(serviceName),
      state_(std::make_shared<State>(std::move(serviceName), std::move(options))) {}

Connection::~Connection() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->interruptionHandler = {};
        state_->invalidationHandler = {};
    }
    state_->wake();
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->interruptionHandler = std::move(handler);
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->invalidationHandler = std::move(handler);
}

void Connection::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->invalid) {
        return;
    }
    state_->resumed = true;
    std::thread([state = state_] { state->run(); }).detach();
}

void Connection::invalidate() {
    auto state = state_;
    state->invalidate("The connection to service named " + serviceName_ + " was invalidated.");
}

void Connection::send(const Request& request, ReplyHandler reply, ErrorHandler error) {
    auto state = state_; // handlers below may destroy this object
    std::unique_lock lock(state->mutex);
    if (state->invalid || !state->resumed) {
        const bool invalid = state->invalid;
        lock.unlock();
        if (error) {
            error(invalid ? "The connection to service named " + state->serviceName +
                                " was invalidated."
                          : std::string("The connection was not resumed."));
        }
        return;
    }
    if (state->fd < 0) {
        const auto& options = state->options;
        const auto path = options.socketPathOverride.empty()
                              ? serviceSocketPath(state->serviceName)
                              : std::optional<std::string>(options.socketPathOverride);
        std::string failure = "no private runtime directory";
        const int fd = path ? connectOrLaunch(*path, options.serviceExecutable, failure) : -1;
        if (fd < 0) {
            lock.unlock();
            const std::string description =
                "Couldn't communicate with a helper application (" + failure + ").";
            if (error) {
                error(description);
            }
            state->invalidate(description);
            return;
        }
        state->fd = fd;
    }
    std::string frame = encodeRequestFrame(request);
    const bool written = sendAll(state->fd, frame);
    state->pending.push_back({std::move(reply), std::move(error),
                              Clock::now() + state->options.requestDeadline, std::move(frame)});
    if (!written) {
        // The I/O thread sees the broken socket and reports the interruption.
        ::shutdown(state->fd, SHUT_RDWR);
    }
    lock.unlock();
    state->wake();
}

// Replaces a socket that hung up before its greeting and sends what is
// pending again. False when there is nothing to resend or no new socket.
bool Connection::State::resendOnFreshSocket(int refused, FrameReader& reader) {
    std::this_thread::sleep_for(kFreshSocketRetryPause);
    std::lock_guard lock(mutex);
    if (invalid || stopping || fd != refused || pending.empty()) {
        return false;
    }
    const auto path = options.socketPathOverride.empty()
                          ? serviceSocketPath(serviceName)
                          : std::optional<std::string>(options.socketPathOverride);
    std::string failure;
    const int fresh = path ? connectOrLaunch(*path, options.serviceExecutable, failure) : -1;
    if (fresh < 0) {
        return false;
    }
    ::close(fd);
    fd = fresh;
    reader = FrameReader(options.maxReplyBody);
    for (const auto& request : pending) {
        if (!sendAll(fd, request.frame)) {
            break; // the next poll sees the broken socket
        }
    }
    return true;
}

void Connection::State::run() {
    FrameReader reader(options.maxReplyBody);
    std::string body;
    std::vector<char> buffer(64 * 1024);
    int greetedSocket = -1; // the descriptor whose service greeted us
    int retries = 0;
    for (;;) {
        int polled;
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex);
            if (stopping && pending.empty()) {
                return;
            }
            polled = fd;
            if (!pending.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    pending.front().deadline - Clock::now());
                timeoutMs = static_cast<int>(std::max<long>(0, left.count() + 1));
            }
        }
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {polled, POLLIN, 0}};
        if (::poll(fds, polled >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wakeFd, &count, sizeof count);
        }

        std::string failure;
        bool interrupted = false;
        if (polled >= 0 && fds[1].revents != 0) {
            const ssize_t n = ::recv(polled, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) {
                size_t skip = 0;
                if (greetedSocket != polled) {
                    if (buffer[0] != kAcceptGreeting) {
                        failure = "The service sent a malformed reply.";
                    }
                    greetedSocket = polled;
                    retries = 0;
                    skip = 1;
                }
                reader.append(buffer.data() + skip, static_cast<size_t>(n) - skip);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                interrupted = true;
                failure = "The connection to service named " + serviceName + " was interrupted.";
            }
        }

        // Replies are matched to requests by order.
        for (;;) {
            const auto status = reader.next(body);
            if (status == FrameReader::Status::needMore) {
                break;
            }
            auto reply =
                status == FrameReader::Status::complete ? decodeReplyBody(body) : std::nullopt;
            Pending request;
            {
                std::lock_guard lock(mutex);
                if (!reply || pending.empty()) {
                    failure = "The service sent a malformed reply.";
                    break;
                }
                request = std::move(pending.front());
                pending.pop_front();
            }
            if (request.reply) {
                request.reply(std::move(*reply));
            }
        }

        if (interrupted && polled != greetedSocket && retries < kFreshSocketRetries &&
            resendOnFreshSocket(polled, reader)) {
            ++retries;
            continue;
        }

        std::deque<Pending> failed;
        std::function<void()> interruption;
        {
            std::lock_guard lock(mutex);
            if (failure.empty() && !pending.empty() && pending.front().deadline <= Clock::now()) {
                failure = "The request to service named " + serviceName + " timed out.";
            }
            if (!failure.empty() && fd >= 0 && fd == polled) {
                // After any failure the order of the stream cannot be trusted:
                // the next request starts on a fresh socket.
                failed = std::exchange(pending, {});
                ::close(fd);
                fd = -1;
                greetedSocket = -1;
                reader = FrameReader(options.maxReplyBody);
                if (interrupted && !invalid) {
                    interruption = interruptionHandler;
                }
            } else if (invalid && fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }
        failAll(std::move(failed), failure);
        if (interruption) {
            interruption();
        }
    }
}

} // namespace korvel::platform::xpc
