#pragma once

#include "shared/helper_response.h"
#include "shared/meter_reply.h"

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace korvel {

// The meter's ended sockets one client has been told of. The meter tells
// each for two minutes to whoever asks; a client hears of each once.
class MeterEndedMemory {
public:
    // False when the cookie was told before. On a client's first reading
    // every ended socket counts as told: it ended before the client looked.
    bool firstTelling(uint64_t cookie, double now);
    void startedReading() { started_ = true; }
    bool started() const { return started_; }

private:
    std::unordered_map<uint64_t, double> told_;
    bool started_ = false;
};

// Adds what the meter counted to a reading:
//  - UDP rows get their bytes, marked as the meter's;
//  - sockets of listed processes in another network namespace, which the
//    reading's dump cannot see, become rows of their own (and, ended, ended
//    rows);
//  - UDP sockets that ended become ended rows under the process that made them.
// Returns the TCP sockets of this namespace whose process the meter knows,
// as rows for the ended-socket ledger: its own destroy counters then go to
// that process even when no reading listed the socket.
std::vector<HelperConnectionData>
addMeterCounts(HelperResponse& response, const MeterReply& meter, MeterEndedMemory& told,
               double now, const std::function<bool(int32_t pid)>& inOurNetworkNamespace);

} // namespace korvel
