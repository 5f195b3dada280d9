#include "platform/system/interface_counters.h"

#include "platform/system/roots.h"

#include <map>

namespace korvel::platform {

std::vector<LinkCounters> readInterfaceCounters() {
    return readInterfaceCounters(kLiveSysRoot);
}

std::vector<LinkCounters> readInterfaceCounters(const std::string& sysRoot) {
    const auto links = readLinkCounters(sysRoot);
    if (!links) {
        return {};
    }
    // std::map orders std::string keys by byte comparison; a later entry of the
    // same name replaces an earlier one.
    std::map<std::string, LinkCounters> byName;
    for (const auto& link : *links) {
        if (!link.name.empty() && !link.name.starts_with("lo")) {
            byName[link.name] = link;
        }
    }
    std::vector<LinkCounters> rows;
    rows.reserve(byName.size());
    for (auto& [name, row] : byName) {
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace korvel::platform
