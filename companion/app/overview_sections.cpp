#include "companion/app/overview_sections.h"

#include <algorithm>

namespace korvel {
namespace {

bool isKnown(std::string_view id) {
    return std::find(kOverviewSectionIds.begin(), kOverviewSectionIds.end(), id) !=
           kOverviewSectionIds.end();
}

std::vector<std::string> knownIds(std::string_view stored) {
    std::vector<std::string> ids;
    while (!stored.empty()) {
        const size_t comma = stored.find(',');
        std::string_view id = stored.substr(0, comma);
        stored = comma == std::string_view::npos ? std::string_view() : stored.substr(comma + 1);
        while (!id.empty() && id.front() == ' ') {
            id.remove_prefix(1);
        }
        while (!id.empty() && id.back() == ' ') {
            id.remove_suffix(1);
        }
        if (isKnown(id) && std::find(ids.begin(), ids.end(), id) == ids.end()) {
            ids.emplace_back(id);
        }
    }
    return ids;
}

} // namespace

std::vector<std::string> overviewSectionOrder(std::string_view stored) {
    std::vector<std::string> order = knownIds(stored);
    for (const char* id : kOverviewSectionIds) {
        if (std::find(order.begin(), order.end(), id) == order.end()) {
            order.emplace_back(id);
        }
    }
    return order;
}

std::set<std::string> overviewHiddenSections(std::string_view stored) {
    const auto ids = knownIds(stored);
    return {ids.begin(), ids.end()};
}

std::string joinSectionIds(const std::vector<std::string>& ids) {
    std::string text;
    for (const auto& id : ids) {
        text += (text.empty() ? "" : ",") + id;
    }
    return text;
}

std::vector<std::string> moveSection(std::vector<std::string> order, const std::string& moved,
                                     const std::string& target) {
    const auto from = std::find(order.begin(), order.end(), moved);
    if (from == order.end() || moved == target) {
        return order;
    }
    order.erase(from);
    order.insert(std::find(order.begin(), order.end(), target), moved);
    return order;
}

} // namespace korvel
