#include "platform/service/connection.h"

#include "platform/service/service_directory.h"
#include "platform/service/service_launcher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace korvel::platform::service {
namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
    Connection::ReplyHandler reply;
    Connection::ErrorHandler error;
    Clock::time_point deadline;
    std::string frame;
    bool written = false; // on the current socket
};

// A service killed a moment ago, or one ending because it was idle, can still
// hold its listening socket: a connect then lands in the backlog of a dying
// process and reads end of file. Such a socket was never accepted (no greeting
// came), so its requests are resent on a new one (starting the service again)
// a few times before they count as failed.
constexpr int kFreshSocketRetries = 3;
constexpr std::chrono::milliseconds kFreshSocketRetryPause{20};
// How soon to knock again on a service whose backlog is full.
constexpr std::chrono::milliseconds kBusyRetryPause{50};

// Fails each request, then runs report (an owner's handler) if there is one.
void failAll(std::deque<Pending> pending, const std::string& description,
             const std::function<void()>& report = {}) {
    for (auto& request : pending) {
        if (request.error) {
            request.error(description);
        }
    }
    if (report) {
        report();
    }
}

int millisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::clamp<long>(left.count() + 1, 0, 24L * 3600 * 1000));
}

} // namespace

struct Connection::State {
    State(std::string name, ConnectionOptions opts)
        : serviceName(std::move(name)), options(std::move(opts)),
          wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), wakeError(errno) {}
    ~State() {
        if (fd >= 0) {
            ::close(fd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    const std::string serviceName;
    const ConnectionOptions options;
    std::mutex mutex;
    int fd = -1; // replaced only by the I/O thread
    const int wakeFd;
    const int wakeError;
    bool resumed = false;
    bool invalid = false;
    bool stopping = false;
    std::deque<Pending> pending;
    std::function<void()> interruptionHandler;
    std::function<void()> invalidationHandler;

    // Owned by the I/O thread.
    FrameReader reader{options.maxReplyBody};
    std::string outgoing;
    bool greeted = false;  // the current socket's service accepted us
    bool launched = false; // ... and we started it for this socket
    int freshRetries = 0;
    Clock::time_point nextConnect{};
    Clock::time_point nextLaunch{};
    std::chrono::milliseconds relaunchPause = kFirstRelaunchPause;
    bool deathReported = false;

    std::string interruptedText() const {
        return "The connection to service named " + serviceName + " was interrupted.";
    }
    std::string invalidatedText() const {
        return "The connection to service named " + serviceName + " was invalidated.";
    }

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
        failAll(std::move(failed), description, handler);
    }

    // Drops the socket; what was pending is returned to be failed (or kept to
    // be written again on the next one). Called with the mutex held.
    std::deque<Pending> dropSocket(bool keepPending) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        reader = FrameReader(options.maxReplyBody);
        outgoing.clear();
        greeted = false;
        if (keepPending) {
            for (auto& request : pending) {
                request.written = false;
            }
            return {};
        }
        return std::exchange(pending, {});
    }

    // What the I/O thread does on one turn of its loop, decided under the mutex.
    struct Turn {
        bool stop = false;
        bool connectNow = false;
        std::deque<Pending> expired; // to be failed for their deadline
        int polled = -1;             // the socket to wait on, if any
        int timeoutMs = -1;
    };
    struct Received {
        bool ended = false;
        std::string failure;
    };

    void run();
    Turn planTurn();
    // Appends the frames not yet written on the current socket to outgoing.
    void queueUnwrittenFrames();
    // The socket's events once it or the wake-up is ready (0 for none); none at
    // all when polling failed and the connection is invalidated.
    std::optional<short> waitForSocket(int socket, int timeoutMs);
    // Writes what fits, then reads what arrived and hands out complete replies.
    void exchangeOnSocket(int socket, short events, std::vector<char>& buffer);
    // False when the socket ended.
    bool sendOutgoing(int socket, short events);
    Received receive(int socket, std::vector<char>& buffer);
    // The service's first byte; resets the retry state, false when it is not
    // the expected greeting.
    bool acceptGreeting(char first);
    // Replies are matched to requests by order; the failure, empty when none.
    std::string deliverReplies();
    // Fails what was pending on a socket that cannot go on; an ended socket is
    // reported as an interruption.
    void abandonSocket(const std::string& failure, bool ended);
    void connectOrStart();
    void serviceDiedBeforeGreeting();
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
    auto state = state_; // the invalidation handler may destroy this object
    std::string failure;
    {
        std::lock_guard lock(state->mutex);
        if (state->resumed || state->invalid) {
            return;
        }
        state->resumed = true;
        if (state->wakeFd < 0) {
            failure = std::strerror(state->wakeError);
        } else {
            try {
                std::thread([state] { state->run(); }).detach();
            } catch (const std::system_error& error) {
                failure = error.what();
            }
        }
    }
    if (!failure.empty()) {
        // Without its thread nothing would ever answer a request.
        state->invalidate(state->invalidatedText() + " (" + failure + ")");
    }
}

void Connection::invalidate() {
    auto state = state_;
    state->invalidate(state->invalidatedText());
}

void Connection::send(const Request& request, ReplyHandler reply, ErrorHandler error) {
    auto state = state_; // handlers below may destroy this object
    std::unique_lock lock(state->mutex);
    if (state->invalid || !state->resumed) {
        const bool invalid = state->invalid;
        lock.unlock();
        if (error) {
            error(invalid ? state->invalidatedText()
                          : std::string("The connection was not resumed."));
        }
        return;
    }
    state->pending.push_back({std::move(reply), std::move(error),
                              Clock::now() + state->options.requestDeadline,
                              encodeRequestFrame(request)});
    lock.unlock();
    state->wake();
}

// Runs on the I/O thread with the mutex released: starting the service may
// take a moment, and nobody but this thread waits for it.
void Connection::State::connectOrStart() {
    const auto path = options.socketPathOverride.empty()
                          ? serviceSocketPath(serviceName)
                          : std::optional<std::string>(options.socketPathOverride);
    if (!path) {
        invalidate("Couldn't communicate with a helper application (no private runtime "
                   "directory).");
        return;
    }
    const auto now = Clock::now();
    auto socket = connectOrLaunch(*path, options.serviceExecutable, now >= nextLaunch);
    std::deque<Pending> failed;
    {
        std::lock_guard lock(mutex);
        if (socket.fd >= 0) {
            if (invalid) {
                ::close(socket.fd);
                return;
            }
            dropSocket(/*keepPending=*/true);
            fd = socket.fd;
            launched = socket.launched;
            return;
        }
        if (socket.busy) {
            nextConnect = now + kBusyRetryPause; // the deadlines end the wait
            return;
        }
        if (socket.held) {
            failed = std::exchange(pending, {});
        }
    }
    if (socket.held) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(nextLaunch - now).count() + 1;
        failAll(std::move(failed), "The service named " + serviceName +
                                       " ended before accepting; it is started again in " +
                                       std::to_string(seconds) + " s.");
        return;
    }
    invalidate("Couldn't communicate with a helper application (" + socket.error + ").");
}

// The socket ended before the service greeted us.
void Connection::State::serviceDiedBeforeGreeting() {
    std::deque<Pending> failed;
    std::function<void()> report;
    {
        std::lock_guard lock(mutex);
        if (!launched && freshRetries < kFreshSocketRetries) {
            // Someone else's dying service: try again, starting it if need be.
            ++freshRetries;
            dropSocket(/*keepPending=*/true);
            nextConnect = Clock::now() + kFreshSocketRetryPause;
            return;
        }
        if (launched) {
            // The service we started died at once: start it again only after
            // a pause, and say so once until a service greets us again.
            nextLaunch = Clock::now() + relaunchPause;
            relaunchPause = std::min(relaunchPause * 2, kLongestRelaunchPause);
            if (!deathReported) {
                deathReported = true;
                report = interruptionHandler;
            }
        } else if (!invalid) {
            report = interruptionHandler;
        }
        failed = dropSocket(/*keepPending=*/false);
        freshRetries = 0;
    }
    failAll(std::move(failed), interruptedText(), report);
}

Connection::State::Turn Connection::State::planTurn() {
    Turn turn;
    std::lock_guard lock(mutex);
    if (invalid || (stopping && pending.empty())) {
        turn.stop = true;
        return turn;
    }
    const auto now = Clock::now();
    if (!pending.empty() && pending.front().deadline <= now) {
        // After a timeout the order of the stream cannot be trusted:
        // the next request starts on a fresh socket.
        turn.expired = dropSocket(/*keepPending=*/false);
    } else if (!pending.empty()) {
        turn.timeoutMs = millisecondsUntil(pending.front().deadline);
        if (fd < 0 && now >= nextConnect) {
            turn.connectNow = true;
        } else if (fd < 0) {
            turn.timeoutMs = std::min(turn.timeoutMs, millisecondsUntil(nextConnect));
        }
        queueUnwrittenFrames();
    }
    turn.polled = fd;
    return turn;
}

void Connection::State::queueUnwrittenFrames() {
    if (fd < 0) {
        return;
    }
    for (auto& request : pending) {
        if (!request.written) {
            outgoing += request.frame;
            request.written = true;
        }
    }
}

std::optional<short> Connection::State::waitForSocket(int socket, int timeoutMs) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0},
                     {socket, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0}};
    if (::poll(fds, socket >= 0 ? 2 : 1, timeoutMs) < 0) {
        if (errno == EINTR) {
            return 0;
        }
        invalidate(invalidatedText() + " (" + std::strerror(errno) + ")");
        return std::nullopt;
    }
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        (void)!::read(wakeFd, &count, sizeof count);
    }
    return fds[1].revents;
}

bool Connection::State::sendOutgoing(int socket, short events) {
    if (outgoing.empty() || !(events & POLLOUT)) {
        return true;
    }
    const ssize_t n = ::send(socket, outgoing.data(), outgoing.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
        outgoing.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
    }
    return true;
}

Connection::State::Received Connection::State::receive(int socket, std::vector<char>& buffer) {
    Received received;
    const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
        size_t skip = 0;
        if (!greeted) {
            if (!acceptGreeting(buffer[0])) {
                received.failure = "The service sent a malformed reply.";
            }
            skip = 1;
        }
        reader.append(buffer.data() + skip, static_cast<size_t>(n) - skip);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        received.ended = true;
    }
    return received;
}

bool Connection::State::acceptGreeting(char first) {
    greeted = true;
    freshRetries = 0;
    relaunchPause = kFirstRelaunchPause;
    deathReported = false;
    return first == kAcceptGreeting;
}

std::string Connection::State::deliverReplies() {
    std::string body;
    for (;;) {
        const auto status = reader.next(body);
        if (status == FrameReader::Status::needMore) {
            return {};
        }
        if (status == FrameReader::Status::tooLarge) {
            return "The service's reply of " + std::to_string(reader.announcedLength()) +
                   " bytes is over the limit of " + std::to_string(options.maxReplyBody) +
                   " bytes.";
        }
        auto reply = decodeReplyBody(std::move(body));
        Pending request;
        {
            std::lock_guard lock(mutex);
            if (!reply || pending.empty() || !pending.front().written) {
                return "The service sent a malformed reply.";
            }
            request = std::move(pending.front());
            pending.pop_front();
        }
        if (request.reply) {
            request.reply(std::move(*reply));
        }
    }
}

void Connection::State::abandonSocket(const std::string& failure, bool ended) {
    std::deque<Pending> failed;
    std::function<void()> interruption;
    {
        std::lock_guard lock(mutex);
        failed = dropSocket(/*keepPending=*/false);
        if (ended && !invalid) {
            interruption = interruptionHandler;
        }
    }
    failAll(std::move(failed), failure, interruption);
}

void Connection::State::exchangeOnSocket(int socket, short events, std::vector<char>& buffer) {
    const bool sendEnded = !sendOutgoing(socket, events);
    Received received = receive(socket, buffer);
    const bool ended = sendEnded || received.ended;
    if (ended && !greeted) {
        serviceDiedBeforeGreeting();
        return;
    }
    std::string failure = ended ? interruptedText() : std::move(received.failure);
    if (failure.empty()) {
        failure = deliverReplies();
    }
    if (!failure.empty()) {
        abandonSocket(failure, ended);
    }
}

void Connection::State::run() {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        Turn turn = planTurn();
        if (turn.stop) {
            return;
        }
        if (!turn.expired.empty()) {
            failAll(std::move(turn.expired),
                    "The request to service named " + serviceName + " timed out.");
            continue;
        }
        if (turn.connectNow) {
            connectOrStart();
            continue;
        }
        const std::optional<short> events = waitForSocket(turn.polled, turn.timeoutMs);
        if (!events) {
            return;
        }
        if (turn.polled >= 0 && *events != 0) {
            exchangeOnSocket(turn.polled, *events, buffer);
        }
    }
}

} // namespace korvel::platform::service
