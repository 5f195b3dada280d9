#include "shared/interface_counters.h"

#include "platform/system/net_counters.h"
#include "platform/system/roots.h"
#include "shared/utf8.h"

#include <map>

namespace korvel {

std::vector<HelperInterfaceData> readInterfaceCounters() {
    return readInterfaceCounters(platform::kLiveSysRoot);
}

std::vector<HelperInterfaceData> readInterfaceCounters(const std::string& sysRoot) {
    const auto links = platform::readLinkCounters(sysRoot);
    if (!links) {
        return {};
    }
    // std::map orders std::string keys by byte comparison; a later entry of the
    // same name replaces an earlier one.
    std::map<std::string, HelperInterfaceData> byName;
    for (const auto& link : *links) {
        if (link.name.empty() || link.name.starts_with("lo")) {
            continue;
        }
        byName[link.name] = {sanitizeUtf8(link.name), link.bytesIn, link.bytesOut};
    }
    std::vector<HelperInterfaceData> rows;
    rows.reserve(byName.size());
    for (auto& [name, row] : byName) {
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace korvel
