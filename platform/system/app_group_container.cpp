#include "platform/system/app_group_container.h"

#include <cstdlib>

namespace korvel::platform {

std::optional<std::string> appGroupContainer(const std::string& groupIdentifier) {
    if (groupIdentifier.empty() || groupIdentifier == "." || groupIdentifier == ".." ||
        groupIdentifier.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return std::nullopt;
    }
    std::string path(runtime);
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path != "/") {
        path += '/';
    }
    return path + groupIdentifier;
}

} // namespace korvel::platform
