#include "companion/program/engine_command.h"

#include "companion/engine/korvel_manager.h"
#include "companion/program/engine_session.h"
#include "platform/dispatch/glib_dispatch.h"

#include <iostream>

namespace korvel {

EngineInstance::ClaimResult claimEngineInstance() {
    const auto directory = EngineInstance::defaultDirectory();
    auto result = directory ? EngineInstance::claim(*directory)
                            : EngineInstance::ClaimResult{EngineInstance::Claim::unavailable,
                                                          nullptr, "no private runtime directory"};
    if (result.outcome == EngineInstance::Claim::unavailable) {
        std::cerr << "korvel-companion: cannot make sure that only one engine runs: "
                  << result.error << '\n';
    }
    return result;
}

int runHeadlessEngine(std::unique_ptr<EngineInstance> instance, HeadlessLaunch launch) {
    auto& dispatch = platform::liveDispatch();
    auto manager = KorvelManager::create(ManagerEnvironment::live());
    EngineSession session(
        manager, [&dispatch] { dispatch.quit(); }, launch.textfileDirectory);
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
