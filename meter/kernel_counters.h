#pragma once

#include "shared/meter_reply.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct socket_meter;

namespace korvel::meter {

// The meter's programs, loaded and attached to one cgroup v2 directory (the
// root, so every socket of the machine is counted). Detached when destroyed,
// and by the kernel when the process ends however it ends.
class KernelCounters {
public:
    // No value, with the reason in why, when the kernel refuses the programs
    // or the directory.
    static std::unique_ptr<KernelCounters> attach(const std::string& cgroupDirectory,
                                                  std::string& why);
    ~KernelCounters();
    KernelCounters(const KernelCounters&) = delete;
    KernelCounters& operator=(const KernelCounters&) = delete;

    // The sockets open now, as counted so far.
    std::vector<MeterSocket> openSockets() const;
    // The sockets released since the last call, taken out of the kernel's map.
    std::vector<MeterSocket> takeEnded();
    // Sockets the full maps gave up since attaching, given how many are open.
    uint64_t lost(size_t open) const;

private:
    explicit KernelCounters(socket_meter* skeleton) : skeleton_(skeleton) {}
    socket_meter* skeleton_;
    uint64_t taken_ = 0; // ended records read out of the kernel so far
};

} // namespace korvel::meter
