#include "platform/system/net_counters.h"

#include "platform/system/text_file.h"

#include <dirent.h>

namespace korvel::platform {

std::optional<std::vector<LinkCounters>> readLinkCounters(const std::string& sysRoot) {
    const std::string netDir = sysRoot + "/class/net";
    DIR* dir = ::opendir(netDir.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::vector<LinkCounters> links;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string stats = netDir + "/" + name + "/statistics/";
        const auto in = readUnsigned(stats + "rx_bytes");
        const auto out = readUnsigned(stats + "tx_bytes");
        if (!in || !out) {
            continue;
        }
        links.push_back({name, *in, *out});
    }
    ::closedir(dir);
    return links;
}

} // namespace korvel::platform
