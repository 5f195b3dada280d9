#include "platform/program/executable_path.h"

#include "platform/system/roots.h"

#include <climits>
#include <string_view>
#include <unistd.h>

namespace korvel::platform {

std::optional<std::string> runningExecutablePath() {
    char target[PATH_MAX];
    const std::string link = std::string(kLiveProcRoot) + "/self/exe";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0 || target[0] != '/') {
        return std::nullopt;
    }
    std::string path(target, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

} // namespace korvel::platform
