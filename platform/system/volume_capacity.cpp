#include "platform/system/volume_capacity.h"

#include <cerrno>
#include <sys/statvfs.h>

namespace korvel::platform {

std::optional<VolumeCapacity> readVolumeCapacity(const std::string& path) {
    struct statvfs info {};
    int rc = 0;
    do {
        rc = ::statvfs(path.c_str(), &info);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return std::nullopt;
    }
    const uint64_t fragment = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    return VolumeCapacity{static_cast<uint64_t>(info.f_blocks) * fragment,
                          static_cast<uint64_t>(info.f_bavail) * fragment};
}

} // namespace korvel::platform
