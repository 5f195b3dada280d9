#pragma once

#include "meter/kernel_counters.h"
#include "platform/service/listener.h"
#include "shared/meter_reply.h"

#include <sys/types.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace korvel::meter {

// Root and the members of the "korvel" group see every socket; anyone else
// only the sockets their uid owns.
bool seesEverySocket(uid_t uid);
// The part of a reply one peer may see: every socket, or only `owner`'s.
MeterReply visibleTo(MeterReply all, std::optional<uint32_t> owner);

// What one connection was told of the open sockets: each cookie with the
// counts and creator it was told. changes() turns a whole reply into what
// changed since the last: the first is full.
class OpenSocketsTold {
public:
    MeterReply changes(MeterReply all);

private:
    struct Told {
        uint64_t bytesIn, bytesOut;
        int32_t pid;
        bool operator==(const Told&) const = default;
    };
    std::optional<std::unordered_map<uint64_t, Told>> told_; // none before the first reply
};

// The sockets that ended lately, numbered as they come. Several helpers ask
// (one per user), each at its own pace, over a connection each: a connection
// is told each socket that ended since it was made, once. Rows are kept two
// minutes for connections that ask that seldom.
class EndedSockets {
public:
    static constexpr double kKeepSeconds = 120;
    static constexpr size_t kMostRows = 100000;

    void add(std::vector<MeterSocket> ended, double now);
    // Appends the rows numbered from `from` on; returns the next number.
    uint64_t appendSince(uint64_t from, std::vector<MeterSocket>& out) const;
    uint64_t nextNumber() const { return nextNumber_; }
    // Rows dropped to stay within kMostRows.
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<std::pair<double, MeterSocket>> rows_;
    uint64_t nextNumber_ = 0; // of the row after the last
    uint64_t dropped_ = 0;
};

// What the meter holds while it runs: the kernel's counters and the sockets
// that ended lately. Drained by a timer as well as by requests, so that the
// kernel's map of ended sockets does not fill between two requests.
class MeterState {
public:
    explicit MeterState(std::unique_ptr<KernelCounters> counters)
        : counters_(std::move(counters)) {}
    void drain();
    // The open sockets, and those ended from `endedFrom` on (advanced).
    MeterReply reply(uint64_t& endedFrom);
    // Where a new connection starts: what ended before it is not its.
    uint64_t endedSoFar();

private:
    std::mutex mutex_;
    std::unique_ptr<KernelCounters> counters_;
    EndedSockets ended_;
};

class MeterDelegate : public platform::service::ListenerDelegate {
public:
    explicit MeterDelegate(MeterState& state) : state_(state) {}
    bool shouldAcceptNewConnection(platform::service::Listener& listener,
                                   platform::service::IncomingConnection& connection) override;

private:
    MeterState& state_;
};

} // namespace korvel::meter
