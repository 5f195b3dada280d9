#pragma once

#include "companion/engine/manager_environment.h"
#include "companion/sampling/host_names.h"
#include "companion/top/frame.h"
#include "companion/top/top_model.h"
#include "companion/top/view_state.h"
#include "platform/defaults/user_defaults.h"

#include <functional>
#include <memory>
#include <optional>

namespace korvel {
class KorvelManager;
}

namespace korvel::top {

// The view's own engine and what it adds: a manager that publishes nothing,
// the model copied after every merge, the host-name cache and the view state.
// Follows the stored settings; `-d` and `s` override them for this engine
// only. Main thread only.
class TopSession {
public:
    TopSession(ManagerEnvironment environment, std::optional<double> refreshPeriod,
               HostNames::Resolver resolver);
    ~TopSession();
    TopSession(const TopSession&) = delete;
    TopSession& operator=(const TopSession&) = delete;

    const TopModel& model() const { return model_; }
    ViewState& state() { return state_; }
    HostNames& hostNames() { return hostNames_; }

    // Runs after each merged reading, once the model is updated.
    void onReading(std::function<void()> handler) { onReading_ = std::move(handler); }

    FrameOptions frameOptions(size_t width, size_t height, bool unicode, std::string clock);

    // Applies a command against the frame last drawn; an `s` also asks the
    // engine for a new reading at once.
    void apply(const Command& command, const Frame& drawn);

private:
    platform::UserDefaults* defaults_;
    platform::Dispatch* dispatch_;
    HostNames hostNames_;
    std::shared_ptr<KorvelManager> manager_;
    TopModel model_;
    ViewState state_;
    std::function<void()> onReading_;
    uint64_t readingObserver_ = 0;
    platform::DefaultsObserverToken intervalObserver_;
};

} // namespace korvel::top
