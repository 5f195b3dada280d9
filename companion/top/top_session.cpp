#include "companion/top/top_session.h"

#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "platform/program/user_name.h"

namespace korvel::top {

TopSession::TopSession(ManagerEnvironment environment, std::optional<double> refreshPeriod,
                       HostNames::Resolver resolver)
    : defaults_(environment.defaults), dispatch_(environment.dispatch),
      hostNames_(std::move(resolver)) {
    environment.publishes = false;
    environment.oneRequestAtATime = true; // -d may be shorter than a busy helper takes
    // A changed interval re-times the refresh, as in the running companion.
    intervalObserver_ = defaults_->addObserver(
        settings::kAutoRefreshInterval, [center = environment.notifications](const std::string&) {
            center->post(notifications::kRefreshIntervalChanged);
        });
    manager_ = KorvelManager::create(std::move(environment));
    readingObserver_ = manager_->readingsMerged.observe([this](uint64_t) {
        model_ = makeTopModel(*manager_, model_, dispatch_->now(), [](uint32_t uid) {
            return platform::userName(uid).value_or(std::to_string(uid));
        });
        if (onReading_) {
            onReading_();
        }
    });
    if (refreshPeriod) {
        manager_->overrideRefreshPeriod(refreshPeriod);
    }
}

TopSession::~TopSession() {
    manager_->readingsMerged.removeObserver(readingObserver_);
    defaults_->removeObserver(intervalObserver_);
}

FrameOptions TopSession::frameOptions(size_t width, size_t height, bool unicode,
                                      std::string clock) {
    FrameOptions options;
    options.width = width;
    options.height = height;
    options.unicode = unicode;
    options.showListeningPorts =
        defaults_->boolFor(settings::kShowListeningPorts, settings::kShowListeningPortsDefault);
    options.resolveHostnames =
        defaults_->boolFor(settings::kResolveHostnames, settings::kResolveHostnamesDefault);
    options.refreshPeriod = manager_->refreshPeriod();
    options.clock = std::move(clock);
    options.hostName = [this](const std::string& address) { return hostNames_.name(address); };
    return options;
}

void TopSession::apply(const Command& command, const Frame& drawn) {
    const bool showSystem =
        defaults_->boolFor(settings::kShowSystemProcesses, settings::kShowSystemProcessesDefault);
    applyCommand(state_, command, drawn.listedPids, drawn.listRows, showSystem);
    if (command.kind == Command::Kind::toggleSystemProcesses) {
        manager_->overrideShowSystemProcesses(state_.showSystemProcesses);
        manager_->refresh();
    }
}

} // namespace korvel::top
