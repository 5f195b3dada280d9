#pragma once

#include "companion/model/interface_stat.h"
#include "platform/netpath/interface_kind.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvel {

// By case-sensitive name prefix: the family of a name the machine says
// nothing about. The one table of interface names.
InterfaceFamily interfaceFamily(std::string_view name);

// The family a row was given from the machine, else its name's.
inline InterfaceFamily familyOf(const InterfaceStat& row) {
    return row.family ? *row.family : interfaceFamily(row.id);
}

// Monitored interfaces take part in selection, totals and peaks.
inline bool isMonitored(const InterfaceStat& row) {
    const InterfaceFamily family = familyOf(row);
    return family == InterfaceFamily::physical || family == InterfaceFamily::tunnel;
}

// Gives rows their family from what sysfs says each interface is. The
// interfaces carrying the default route are monitored whatever they are (a
// container's veth, a server's bridge, bond or VLAN); a device under one of
// them (a bridge port, a bond slave, a VLAN's parent) is shown as virtual,
// so the same bytes are never summed twice.
class InterfaceClassifier {
public:
    using Reader = std::function<platform::netpath::LinkFacts(const std::string& name)>;

    explicit InterfaceClassifier(Reader reader);

    void classify(std::vector<InterfaceStat>& rows,
                  const std::vector<std::string>& defaultRouteInterfaces);

private:
    const platform::netpath::LinkFacts& facts(const std::string& name);
    bool feedsDefaultRoute(const std::string& name, const std::vector<std::string>& routes,
                           int depth);

    Reader reader_;
    // Interfaces rarely change what they are; a name is read again only
    // after it has been absent from a reading.
    std::unordered_map<std::string, platform::netpath::LinkFacts> known_;
};

} // namespace korvel
