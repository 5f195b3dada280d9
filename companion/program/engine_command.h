#pragma once

#include "companion/program/engine_instance.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

class KorvelManager;

// How a windowless run of the engine fits into the rest of the program.
struct HeadlessLaunch {
    // Runs once on the main thread, right after the manager is created.
    std::function<void(const std::shared_ptr<KorvelManager>&)> afterLaunch;
    // Answers commands from later starts; without one every command is
    // answered kCommandUnknown.
    platform::ControlSocketServer::Handler onCommand;
    // --prometheus-textfile-directory, in place of the setting.
    std::optional<std::string> textfileDirectory;
};

// `korvel-companion` without a window, the instance already claimed (a null
// instance runs unguarded): runs the engine until SIGINT or SIGTERM. On a
// terminal it says where the snapshot goes and prints one status line per
// refresh; in the background it prints nothing.
int runHeadlessEngine(std::unique_ptr<EngineInstance> instance, HeadlessLaunch launch);

// Claims the instance for a start of the engine in the default directory.
// When it is unavailable, which is said on stderr, the engine runs unguarded.
EngineInstance::ClaimResult claimEngineInstance();

} // namespace korvel
