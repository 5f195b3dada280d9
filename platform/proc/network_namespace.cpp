#include "platform/proc/network_namespace.h"

#include <sys/stat.h>

#include <string>

namespace korvel::platform::proc {

std::optional<uint64_t> networkNamespaceOf(int32_t pid) {
    const std::string path =
        pid == 0 ? std::string("/proc/self/ns/net") : "/proc/" + std::to_string(pid) + "/ns/net";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_ino);
}

} // namespace korvel::platform::proc
