#pragma once

#include <array>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The Overview's sections, in their default order. The ids are what
// "overviewSectionOrder" and "overviewHiddenSections" store, comma-separated.
inline constexpr std::array<const char*, 9> kOverviewSectionIds = {
    "cpu", "memory", "gpu", "temperatures", "network", "connections", "battery", "disk", "path"};

// The stored order: unknown and repeated ids are dropped, ids it lacks
// follow in the default order.
std::vector<std::string> overviewSectionOrder(std::string_view stored);
// The stored hidden set, unknown ids dropped.
std::set<std::string> overviewHiddenSections(std::string_view stored);
std::string joinSectionIds(const std::vector<std::string>& ids);
// The order with `moved` placed just before `target` (at the end when the
// target is unknown); unchanged when moved is not in it.
std::vector<std::string> moveSection(std::vector<std::string> order, const std::string& moved,
                                     const std::string& target);

} // namespace korvel
