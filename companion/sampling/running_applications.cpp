#include "companion/sampling/running_applications.h"

#include "platform/desktop/application_registry.h"

namespace korvel {

RunningApplicationsByPID
runningApplications(const std::vector<HelperProcessData>& processes,
                    const platform::desktop::ApplicationRegistry& registry) {
    std::vector<platform::desktop::ProcessExecutable> executables;
    executables.reserve(processes.size());
    for (const auto& process : processes) {
        if (process.execPath) {
            executables.push_back({process.pid, *process.execPath});
        }
    }
    RunningApplicationsByPID byPID;
    for (auto& running : registry.runningApplications(executables)) {
        RunningApplication application;
        application.localizedName = std::move(running.localizedName);
        if (!running.icon.empty()) {
            application.icon = std::move(running.icon);
        }
        if (!running.appId.empty()) {
            application.appId = std::move(running.appId);
        }
        byPID.try_emplace(running.pid, std::move(application));
    }
    return byPID;
}

} // namespace korvel
