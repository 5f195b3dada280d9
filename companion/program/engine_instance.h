#pragma once

#include "platform/program/control_socket.h"
#include "platform/program/instance_lock.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

inline constexpr const char* kAlreadyRunningMessage = "Korvel Companion is already running";

// Commands a later start sends to the running engine, and its answers.
inline constexpr const char* kOpenSettingsCommand = "open-settings";
inline constexpr const char* kOpenWindowCommand = "open-window";
inline constexpr const char* kCommandDone = "ok";
inline constexpr const char* kCommandNoDisplay = "no-display";
inline constexpr const char* kCommandUnknown = "unknown-command";

// The one running engine of a user: a lock file held for the life of the
// process and, beside it, a control socket on which later starts send
// commands. Both live in the helper's runtime directory
// ($XDG_RUNTIME_DIR/qn.Korvel), so they work with or without a session bus.
class EngineInstance {
public:
    enum class Claim { claimed, runningElsewhere, unavailable };
    struct ClaimResult {
        Claim outcome = Claim::unavailable;
        std::unique_ptr<EngineInstance> instance; // set when claimed
        std::string error;                        // set when unavailable
    };

    // The runtime directory, or no value when it cannot be made private.
    static std::optional<std::string> defaultDirectory();

    // Tries to become the running engine. unavailable when the lock cannot be
    // taken at all; the caller decides whether to run anyway.
    static ClaimResult claim(const std::string& directory);

    // Takes over the claim this process was handed across an exec (see
    // keepClaimAcrossExec); no value, with error, when it is not held.
    static std::unique_ptr<EngineInstance> adopt(const std::string& directory, int descriptor,
                                                 std::string& error);

    // Lets the claim survive an exec (or no longer, when keep is false);
    // returns the descriptor for adopt(), or -1. Only before serveCommands:
    // the command socket is not handed over.
    int keepClaimAcrossExec(bool keep);

    // Sends one command to the engine that holds the lock in directory and
    // returns its answer.
    static std::optional<std::string> send(const std::string& directory, const std::string& command,
                                           std::chrono::milliseconds timeout, std::string& error);

    // Answers later starts' commands on the dispatch's main queue until
    // destroyed. The dispatch must outlive the instance.
    bool serveCommands(platform::Dispatch& dispatch, platform::ControlSocketServer::Handler handler,
                       std::string& error);

    ~EngineInstance();

private:
    EngineInstance(std::string directory, std::unique_ptr<platform::InstanceLock> lock);

    std::string directory_;
    std::unique_ptr<platform::InstanceLock> lock_;
    std::unique_ptr<platform::ControlSocketServer> server_;
};

} // namespace korvel
