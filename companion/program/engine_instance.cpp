#include "companion/program/engine_instance.h"

#include "platform/service/service_directory.h"

namespace korvel {
namespace {

constexpr const char* kLockName = "/qn.Korvel.companion.lock";
constexpr const char* kControlName = "/qn.Korvel.companion.control";

} // namespace

std::optional<std::string> EngineInstance::defaultDirectory() {
    return platform::service::serviceDirectory();
}

EngineInstance::EngineInstance(std::string directory, std::unique_ptr<platform::InstanceLock> lock)
    : directory_(std::move(directory)), lock_(std::move(lock)) {}

EngineInstance::~EngineInstance() {
    // The socket goes before the lock, so whoever takes the lock next finds
    // no socket of ours.
    server_.reset();
    lock_.reset();
}

EngineInstance::ClaimResult EngineInstance::claim(const std::string& directory) {
    auto result = platform::InstanceLock::acquire(directory + kLockName);
    switch (result.outcome) {
    case platform::InstanceLock::Outcome::acquired:
        return {
            Claim::claimed,
            std::unique_ptr<EngineInstance>(new EngineInstance(directory, std::move(result.lock))),
            {}};
    case platform::InstanceLock::Outcome::heldElsewhere:
        return {Claim::runningElsewhere, nullptr, {}};
    case platform::InstanceLock::Outcome::failed:
        break;
    }
    return {Claim::unavailable, nullptr, result.error};
}

std::unique_ptr<EngineInstance> EngineInstance::adopt(const std::string& directory, int descriptor,
                                                      std::string& error) {
    auto result = platform::InstanceLock::adopt(directory + kLockName, descriptor);
    if (result.outcome != platform::InstanceLock::Outcome::acquired) {
        error = result.error;
        return nullptr;
    }
    return std::unique_ptr<EngineInstance>(new EngineInstance(directory, std::move(result.lock)));
}

int EngineInstance::keepClaimAcrossExec(bool keep) {
    return lock_ && !server_ ? lock_->keepAcrossExec(keep) : -1;
}

std::optional<std::string> EngineInstance::send(const std::string& directory,
                                                const std::string& command,
                                                std::chrono::milliseconds timeout,
                                                std::string& error) {
    return platform::sendControlCommand(directory + kControlName, command, timeout, error);
}

bool EngineInstance::serveCommands(platform::Dispatch& dispatch,
                                   platform::ControlSocketServer::Handler handler,
                                   std::string& error) {
    server_ = platform::ControlSocketServer::listen(directory_ + kControlName, dispatch,
                                                    std::move(handler), error);
    return server_ != nullptr;
}

} // namespace korvel
