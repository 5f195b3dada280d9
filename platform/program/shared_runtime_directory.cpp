#include "platform/program/shared_runtime_directory.h"

#include "platform/program/owned_directory.h"
#include "platform/service/service_directory.h"

namespace korvel::platform {

std::optional<std::string> sharedRuntimeDirectory(const std::string& groupIdentifier) {
    if (groupIdentifier.empty() || groupIdentifier == "." || groupIdentifier == ".." ||
        groupIdentifier.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto runtime = service::runtimeDirectory();
    if (!runtime) {
        return std::nullopt;
    }
    std::string path = *runtime;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // A shared or borrowed runtime directory would let others redirect our files.
    if (directoryOwnership(path) != Ownership::ours) {
        return std::nullopt;
    }
    if (path != "/") {
        path += '/';
    }
    return path + groupIdentifier;
}

} // namespace korvel::platform
