#include "helper/meter_client.h"

#include "platform/service/messages.h"
#include "platform/service/unix_socket.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace korvel {
namespace {

using platform::service::FrameReader;

// Waits for the descriptor until the deadline; false when it passed.
bool waitFor(int fd, short events, MeterClient::Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - MeterClient::Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{fd, events, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// The reply's text, read from a connected socket by the deadline; a new
// connection starts with the meter's greeting.
std::optional<std::string> exchange(int fd, bool fresh, MeterClient::Clock::time_point deadline) {
    char greeting = 0;
    if (fresh && (!waitFor(fd, POLLIN, deadline) || ::read(fd, &greeting, 1) != 1 ||
                  greeting != platform::service::kAcceptGreeting)) {
        return std::nullopt;
    }
    const std::string request =
        platform::service::encodeRequestFrame({kMeterSocketsSelector, false});
    if (!waitFor(fd, POLLOUT, deadline) || !platform::service::sendAll(fd, request)) {
        return std::nullopt;
    }
    FrameReader reader(platform::service::kDefaultMaxReplyBody);
    std::string body;
    char buffer[65536];
    for (;;) {
        switch (reader.next(body)) {
        case FrameReader::Status::complete: {
            auto reply = platform::service::decodeReplyBody(std::move(body));
            if (!reply || !*reply) {
                return std::nullopt;
            }
            return std::move(**reply);
        }
        case FrameReader::Status::tooLarge:
            return std::nullopt;
        case FrameReader::Status::needMore:
            break;
        }
        if (!waitFor(fd, POLLIN, deadline)) {
            return std::nullopt;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            return std::nullopt;
        }
        reader.append(buffer, static_cast<size_t>(got));
    }
}

} // namespace

MeterClient::MeterClient() : socketPath_(meterSocketPath()) {}

MeterClient::~MeterClient() {
    hangUp();
}

void MeterClient::hangUp() {
    told_.forget();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::optional<MeterReply> MeterClient::ask(Clock::time_point now) {
    if (now < pausedUntil_) {
        return std::nullopt;
    }
    // A kept connection may have outlived its meter: then once more, afresh.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = fd_ < 0;
        if (fresh) {
            fd_ = platform::service::connectUnixSocket(socketPath_, true);
            if (fd_ < 0) {
                return std::nullopt; // no meter: nothing to wait for
            }
        }
        if (const auto text = exchange(fd_, fresh, now + kDeadline)) {
            if (auto reply = decodeMeterReply(*text); reply && (reply->full || !fresh)) {
                return told_.apply(std::move(*reply));
            }
        }
        hangUp();
        if (fresh) {
            break;
        }
    }
    pausedUntil_ = now + kPauseAfterFailure;
    return std::nullopt;
}

} // namespace korvel
