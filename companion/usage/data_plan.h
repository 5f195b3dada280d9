#pragma once

#include "companion/model/counters.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::usage {

// The settings key holding the plans, a JSON array of objects:
// {"network": UUID or name, "capBytes": N, "cycleStartDay": 1-31,
//  "warningPercent": 1-100, "count": "in" | "out" | "both"}.
inline constexpr const char* kDataPlansKey = "dataPlans";

enum class CountedDirection { in, out, both };

// A budget for one network: what its cycle may move, and when to warn.
struct DataPlan {
    std::string network; // a connection's UUID or name, or a network's key
    uint64_t capBytes = 0;
    int cycleStartDay = 1;
    int warningPercent = 80;
    CountedDirection count = CountedDirection::both;

    // The bytes of `used` the plan counts.
    uint64_t counted(const ConnectionCounters& used) const;
    // Where the warning falls, without overflowing for any cap.
    uint64_t warningBytes() const {
        const auto percent = static_cast<uint64_t>(warningPercent);
        return capBytes / 100 * percent + capBytes % 100 * percent / 100;
    }
    bool operator==(const DataPlan&) const = default;
};

// What is wrong with a stored value, for the user who wrote it; none when
// every plan in it is sound.
std::optional<std::string> plansProblem(const nlohmann::json& value);
// The sound plans of a stored value; the others are left out.
std::vector<DataPlan> plansFrom(const nlohmann::json& value);
nlohmann::json plansJson(const std::vector<DataPlan>& plans);

const char* directionWord(CountedDirection direction);

} // namespace korvel::usage
