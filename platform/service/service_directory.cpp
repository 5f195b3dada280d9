#include "platform/service/service_directory.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::platform::service {
namespace {

// A directory of ours, not a link, that nobody else may enter.
bool isPrivateDirectory(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

bool ensurePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    // In /tmp anyone could have made it first; serve nothing through a
    // directory another user controls.
    return isPrivateDirectory(path);
}

} // namespace

std::optional<std::string> runtimeDirectory(const std::string& runUserRoot) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime);
    }
    const std::string path = runUserRoot + "/" + std::to_string(::getuid());
    if (!isPrivateDirectory(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> serviceDirectory() {
    const auto runtime = runtimeDirectory();
    const std::string path =
        runtime ? *runtime + "/qn.Korvel" : "/tmp/qn.Korvel-" + std::to_string(::getuid());
    if (!ensurePrivateDirectory(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> serviceSocketPath(const std::string& serviceName) {
    if (serviceName.empty() || serviceName.find('/') != std::string::npos) {
        return std::nullopt;
    }
    auto directory = serviceDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + "/" + serviceName + ".sock";
}

} // namespace korvel::platform::service
