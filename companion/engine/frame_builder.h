#pragma once

#include "companion/engine/connection_rates.h"
#include "companion/engine/process_merge.h"
#include "companion/model/reading_frame.h"
#include "companion/sampling/system_stats_builder.h"
#include "shared/helper_response.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// What the companion adds to a reading from its own side of the machine.
struct CompanionFigures {
    RunningApplicationsByPID applications;
    std::function<std::optional<ProcessIcon>(const std::string& execPath)> iconForExecutablePath;
    int processorCount = 1;
    double cpuUsagePercent = 0;
    double loadAverage1m = 0;
    std::optional<std::array<double, 3>> loadAverages;
    LocalSystemFigures local;
    // False when the reading covers other processes than the last one (the
    // system processes came or went): a socket first seen may then be old.
    bool firstSightingsCount = true;
    double now = 0; // the companion's clock, for when sockets were seen to close
    std::vector<NetworkAttachment> networks; // the path's, as this reading came
    // Sets each interface's family; none leaves it to the name.
    std::function<void(std::vector<InterfaceStat>&)> classifyInterfaces;
};

struct BuiltFrame {
    FramePointer frame;
    std::optional<OtherTcpRate> otherTcpRate; // for the live views
    size_t forgottenSockets = 0;
};

// The one derivation of a merged reading, for live and for replay: from this
// reading, the previous frame and the companion's figures, with the sockets
// the engine remembers between readings. The reading's rows may be moved
// out when it carries its own bytes (the snapshot is written from those).
BuiltFrame buildFrame(HelperResponse& reading, const ReadingFrame& previous,
                      ConnectionCounterMemory& sockets, const CompanionFigures& figures);

} // namespace korvel
