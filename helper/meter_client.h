#pragma once

#include "shared/meter_reply.h"

#include <chrono>
#include <optional>
#include <string>

namespace korvel {

// Asks the kernel meter for its counts, when one runs, over one connection
// kept from reading to reading (the meter tells each connection an ended
// socket once, and an open one again only when it changed). A meter that
// does not answer within the deadline is left
// alone for a while, so a stuck one costs a reading its deadline only now
// and then.
class MeterClient {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDeadline{500};
    static constexpr std::chrono::seconds kPauseAfterFailure{10};

    // At meterSocketPath().
    MeterClient();
    explicit MeterClient(std::string socketPath) : socketPath_(std::move(socketPath)) {}
    ~MeterClient();
    MeterClient(const MeterClient&) = delete;
    MeterClient& operator=(const MeterClient&) = delete;

    // No value when no meter listens, it failed to answer, or it is paused.
    std::optional<MeterReply> ask(Clock::time_point now = Clock::now());

private:
    void hangUp();

    std::string socketPath_;
    int fd_ = -1;
    MeterSocketsTold told_; // of the kept connection
    Clock::time_point pausedUntil_{};
};

} // namespace korvel
