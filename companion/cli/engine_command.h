#pragma once

#include "companion/cli/engine_instance.h"

#include <functional>
#include <memory>

namespace korvel {

class KorvelManager;

// How a windowless run of the engine fits into the rest of the program.
struct HeadlessLaunch {
    // Runs once on the main thread, right after the manager is created.
    std::function<void(const std::shared_ptr<KorvelManager>&)> afterLaunch;
    // Answers commands from later starts; without one every command is
    // answered kCommandUnknown.
    platform::ControlSocketServer::Handler onCommand;
};

// `korvel-companion` without a window: claims the engine instance (a second
// start prints kAlreadyRunningMessage and returns 0), then runs the engine
// until SIGINT or SIGTERM. On a terminal it says where the snapshot goes and
// prints one status line per refresh; in the background it prints nothing.
int runHeadlessEngine();

// The same with the instance already claimed; a null instance runs unguarded.
int runHeadlessEngine(std::unique_ptr<EngineInstance> instance, HeadlessLaunch launch);

// Claims the instance for a start of the engine. Returns the instance (null
// when the lock could not be taken, which is said on stderr: the engine then
// runs unguarded) or, when another engine runs, no value.
std::optional<std::unique_ptr<EngineInstance>> claimEngineInstance();

} // namespace korvel
