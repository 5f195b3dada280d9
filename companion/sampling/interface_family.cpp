#include "companion/sampling/interface_family.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>

namespace korvel {
namespace {

constexpr std::array<std::pair<std::string_view, InterfaceFamily>, 10> kFamilyPrefixes = {{
    {"en", InterfaceFamily::physical},
    {"eth", InterfaceFamily::physical},
    {"wl", InterfaceFamily::physical},
    {"wwan", InterfaceFamily::physical},
    {"utun", InterfaceFamily::tunnel},
    {"ipsec", InterfaceFamily::tunnel},
    {"ppp", InterfaceFamily::tunnel},
    {"tun", InterfaceFamily::tunnel},
    {"wg", InterfaceFamily::tunnel},
    {"tailscale", InterfaceFamily::tunnel},
}};

} // namespace

InterfaceFamily interfaceFamily(std::string_view name) {
    for (const auto& [prefix, family] : kFamilyPrefixes) {
        if (name.starts_with(prefix)) {
            return family;
        }
    }
    return InterfaceFamily::other;
}

InterfaceClassifier::InterfaceClassifier(Reader reader) : reader_(std::move(reader)) {}

const platform::netpath::LinkFacts& InterfaceClassifier::facts(const std::string& name) {
    auto it = known_.find(name);
    if (it == known_.end()) {
        it = known_.emplace(name, reader_(name)).first;
    }
    return it->second;
}

bool InterfaceClassifier::feedsDefaultRoute(const std::string& name,
                                            const std::vector<std::string>& routes, int depth) {
    // Stacks are shallow (a port under a bond under a bridge); the bound only
    // guards against a loop in a damaged tree.
    if (depth > 4) {
        return false;
    }
    return std::ranges::any_of(facts(name).upperDevices, [&](const std::string& upper) {
        return std::ranges::find(routes, upper) != routes.end() ||
               feedsDefaultRoute(upper, routes, depth + 1);
    });
}

void InterfaceClassifier::classify(std::vector<InterfaceStat>& rows,
                                   const std::vector<std::string>& defaultRouteInterfaces) {
    std::unordered_set<std::string> present;
    for (auto& row : rows) {
        present.insert(row.id);
        using platform::netpath::LinkKind;
        switch (facts(row.id).kind) {
        case LinkKind::unknown:
            row.family = interfaceFamily(row.id);
            break;
        case LinkKind::loopback:
            row.family = InterfaceFamily::other;
            break;
        case LinkKind::hardware:
            row.family = InterfaceFamily::physical;
            break;
        case LinkKind::tunnel:
            row.family = InterfaceFamily::tunnel;
            break;
        case LinkKind::bridge:
        case LinkKind::bond:
        case LinkKind::vlan:
        case LinkKind::virtualLink:
            row.family = InterfaceFamily::virtualInterface;
            break;
        }
        const bool routes =
            std::ranges::find(defaultRouteInterfaces, row.id) != defaultRouteInterfaces.end();
        if (routes && row.family != InterfaceFamily::tunnel) {
            row.family = InterfaceFamily::physical;
        } else if (!routes && row.family == InterfaceFamily::physical &&
                   feedsDefaultRoute(row.id, defaultRouteInterfaces, 0)) {
            row.family = InterfaceFamily::virtualInterface;
        }
    }
    std::erase_if(known_, [&](const auto& entry) { return !present.contains(entry.first); });
}

} // namespace korvel
