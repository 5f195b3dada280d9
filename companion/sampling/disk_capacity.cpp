#include "companion/sampling/disk_capacity.h"

#include "platform/system/home_directory.h"
#include "platform/system/volume_capacity.h"

namespace korvel {

DiskCapacity readDiskCapacity() {
    const auto home = platform::homeDirectory();
    if (!home) {
        return {};
    }
    return readDiskCapacity(*home);
}

DiskCapacity readDiskCapacity(const std::string& path) {
    const auto capacity = platform::readVolumeCapacity(path);
    if (!capacity) {
        return {};
    }
    return {capacity->total, capacity->available};
}

} // namespace korvel
