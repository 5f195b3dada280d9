#pragma once

#include "companion/archive/history_location.h"
#include "companion/history/history_reading.h"
#include "companion/history/plan_watch.h"
#include "companion/sampling/host_names.h"
#include "platform/dispatch/dispatch.h"

#include <memory>
#include <optional>

namespace korvel {
class KorvelManager;
}
namespace korvel::platform {
class UserDefaults;
}

namespace korvel::history {

// Records the manager's frames while "historyEnabled" is on, at the user's
// period: what each frame used is added up on the main queue, and the last
// frame with that sum is written on the recorder's own thread, which alone
// holds the database. A write that falls behind makes the next ones wait
// their turn with their use added up, instead of holding memory or the
// main loop; a full disk stops recording with one
// message until space returns. With "resolveHostnames" on, endpoints get the
// names already in the cache; one still being looked up is written by a later
// reading, so the resolver never holds a reading back.
class HistoryRecorder {
public:
    HistoryRecorder(const std::shared_ptr<KorvelManager>& manager,
                    std::optional<HistoryPlace> place, platform::Dispatch& dispatch,
                    const platform::UserDefaults& defaults,
                    HostNames::Resolver resolver = systemResolver());
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // After each reading written, the data plans are checked (see PlanWatch).
    // Set before the first reading.
    void watchPlans(PlanWatch::Outlets outlets);

private:
    struct Writer;
    std::weak_ptr<KorvelManager> manager_;
    std::shared_ptr<Writer> writer_;
    std::shared_ptr<platform::SerialQueue> queue_;
    HostNames::Resolver resolver_;
    std::unique_ptr<HostNames> hostNames_; // made when first wanted
    std::optional<double> lastRecorded_;
    FrameUse use_; // of the frames since the last reading written
    uint64_t observer_ = 0;
};

} // namespace korvel::history
