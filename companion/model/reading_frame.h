#pragma once

#include "companion/model/closed_connection.h"
#include "companion/model/counters.h"
#include "companion/model/interface_stat.h"
#include "companion/model/net_process.h"
#include "companion/model/network_attachment.h"
#include "companion/model/system_stats.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace korvel {

using RecentlyClosedByPID = std::unordered_map<int32_t, std::vector<ClosedConnection>>;

// A socket that ended since the previous reading, with the counters the
// kernel reported as it let go: `socket.used` is what it moved since it was
// last counted, already part of its owner's bytesUsed.
struct EndedSocket {
    ProcessKey owner; // the process a reading listed it under
    NetConnection socket;
};

// One merged reading as every face reads it: built once per merge by the
// engine, never changed afterwards, shared by the window, top, the export
// and the history. Each process and socket carries both its cumulative
// figures and what it used over the interval, so a face sums intervals and
// keeps no pairing of its own.
struct ReadingFrame {
    double time = 0;     // the reading's own time (absolute seconds)
    double interval = 0; // seconds the usage covers; 0 where nothing is comparable
    bool helperFull = false;
    std::vector<NetProcess> processes; // in the model's order
    // Processes a reading listed that are gone now, with what their ended
    // sockets moved after they were last seen.
    std::vector<NetProcess> endedProcesses;
    std::vector<EndedSocket> endedSockets;
    // TCP bytes no process accounts for: sockets that lived and ended
    // between two readings, or that no reading listed with a process.
    ConnectionCounters otherTcpUsed;
    ConnectionCounters otherTcpTotal;      // since the engine started
    std::vector<InterfaceStat> interfaces; // every interface, in the reply's order
    // The networks the interfaces with a default route were on.
    std::vector<NetworkAttachment> networks;
    SystemStats system;
    RecentlyClosedByPID recentlyClosed;
};

using FramePointer = std::shared_ptr<const ReadingFrame>;

// The processes of a frame, shared with it rather than copied: the list the
// model publishes is the frame's own.
class ProcessList {
public:
    ProcessList() = default;
    explicit ProcessList(FramePointer frame) : frame_(std::move(frame)) {}

    const std::vector<NetProcess>& rows() const { return frame_ ? frame_->processes : kNone; }
    operator const std::vector<NetProcess>&() const { return rows(); }
    auto begin() const { return rows().begin(); }
    auto end() const { return rows().end(); }
    size_t size() const { return rows().size(); }
    bool empty() const { return rows().empty(); }
    const NetProcess& operator[](size_t i) const { return rows()[i]; }
    const NetProcess& front() const { return rows().front(); }

private:
    static inline const std::vector<NetProcess> kNone{};
    FramePointer frame_;
};

} // namespace korvel
