#include "platform/service/service_directory.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::platform::service {
namespace {

bool ensurePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    // In /tmp anyone could have made it first; serve nothing through a
    // directory another user controls.
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

} // namespace

std::optional<std::string> runtimeDirectory(const std::string& runUserRoot) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime);
    }
    const std::string path = runUserRoot + "/" + std::to_string(::getuid());
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
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
