#include "companion/cli/engine_command.h"

#include "companion/cli/engine_session.h"
#include "companion/engine/korvel_manager.h"
#include "platform/dispatch/glib_dispatch.h"

#include <iostream>

namespace korvel {

std::optional<std::unique_ptr<EngineInstance>> claimEngineInstance() {
    std::unique_ptr<EngineInstance> instance;
    std::string error;
    const auto directory = EngineInstance::defaultDirectory();
    if (!directory) {
        error = "no private runtime directory";
    } else {
        switch (EngineInstance::claim(*directory, instance, error)) {
        case EngineInstance::Claim::claimed:
            return instance;
        case EngineInstance::Claim::runningElsewhere:
            return std::nullopt;
        case EngineInstance::Claim::unavailable:
            break;
        }
    }
    std::cerr << "korvel-companion: cannot make sure that only one engine runs: " << error << '\n';
    return std::unique_ptr<EngineInstance>();
}

int runHeadlessEngine() {
    auto instance = claimEngineInstance();
    if (!instance) {
        std::cout << kAlreadyRunningMessage << std::endl;
        return 0;
    }
    return runHeadlessEngine(std::move(*instance), {});
}

int runHeadlessEngine(std::unique_ptr<EngineInstance> instance, HeadlessLaunch launch) {
    auto& dispatch = platform::liveDispatch();
    auto manager = KorvelManager::create(ManagerEnvironment::live());
    EngineSession session(manager, [&dispatch] { dispatch.quit(); });
    if (launch.afterLaunch) {
        launch.afterLaunch(manager);
    }
    if (instance) {
        platform::ControlSocketServer::Handler onCommand = std::move(launch.onCommand);
        if (!onCommand) {
            onCommand = [](const std::string&) -> std::string { return kCommandUnknown; };
        }
        std::string error;
        if (!instance->serveCommands(dispatch, std::move(onCommand), error)) {
            std::cerr << "korvel-companion: " << error << '\n';
        }
    }
    dispatch.run();
    return 0;
}

} // namespace korvel
