#include "companion/model/history.h"

#include <algorithm>

namespace korvel {

void appendHistorySample(History& history, std::optional<double> value, const HistoryRule& rule) {
    if (!value) {
        return;
    }
    double v = *value;
    if (rule.lowest) {
        v = std::max(v, *rule.lowest);
    }
    if (rule.highest) {
        v = std::min(v, *rule.highest);
    }
    history.push_back(v);
    if (history.size() > rule.capacity) {
        const auto excess = static_cast<History::difference_type>(history.size() - rule.capacity);
        history.erase(history.begin(), history.begin() + excess);
    }
}

} // namespace korvel
