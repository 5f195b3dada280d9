#include "companion/usage/data_plan.h"

#include <algorithm>

namespace korvel::usage {
namespace {

std::optional<CountedDirection> directionNamed(const std::string& word) {
    for (const auto direction :
         {CountedDirection::in, CountedDirection::out, CountedDirection::both}) {
        if (word == directionWord(direction)) {
            return direction;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> integerMember(const nlohmann::json& plan, const char* name) {
    const auto found = plan.find(name);
    if (found == plan.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    return found->get<int64_t>();
}

// The plan, or what is wrong with it.
std::optional<DataPlan> planFrom(const nlohmann::json& item, std::string& problem) {
    if (!item.is_object()) {
        problem = "a plan is a JSON object";
        return std::nullopt;
    }
    DataPlan plan;
    const auto network = item.find("network");
    if (network == item.end() || !network->is_string() || network->get<std::string>().empty()) {
        problem = "a plan needs \"network\": a connection's UUID or name";
        return std::nullopt;
    }
    plan.network = network->get<std::string>();
    const auto cap = integerMember(item, "capBytes");
    if (!cap || *cap <= 0) {
        problem = "\"capBytes\" of " + plan.network + " must be a whole number of bytes above 0";
        return std::nullopt;
    }
    plan.capBytes = static_cast<uint64_t>(*cap);
    if (item.contains("cycleStartDay")) {
        const auto day = integerMember(item, "cycleStartDay");
        if (!day || *day < 1 || *day > 31) {
            problem = "\"cycleStartDay\" of " + plan.network + " must be a day from 1 to 31";
            return std::nullopt;
        }
        plan.cycleStartDay = static_cast<int>(*day);
    }
    if (item.contains("warningPercent")) {
        const auto percent = integerMember(item, "warningPercent");
        if (!percent || *percent < 1 || *percent > 100) {
            problem = "\"warningPercent\" of " + plan.network + " must be from 1 to 100";
            return std::nullopt;
        }
        plan.warningPercent = static_cast<int>(*percent);
    }
    if (item.contains("count")) {
        const auto& count = item["count"];
        const auto direction =
            count.is_string() ? directionNamed(count.get<std::string>()) : std::nullopt;
        if (!direction) {
            problem = "\"count\" of " + plan.network + " must be \"in\", \"out\" or \"both\"";
            return std::nullopt;
        }
        plan.count = *direction;
    }
    return plan;
}

} // namespace

uint64_t DataPlan::counted(const ConnectionCounters& used) const {
    switch (count) {
    case CountedDirection::in:
        return used.bytesIn;
    case CountedDirection::out:
        return used.bytesOut;
    case CountedDirection::both:
        break;
    }
    return saturatingAdd(used.bytesIn, used.bytesOut);
}

const char* directionWord(CountedDirection direction) {
    switch (direction) {
    case CountedDirection::in:
        return "in";
    case CountedDirection::out:
        return "out";
    case CountedDirection::both:
        break;
    }
    return "both";
}

std::optional<std::string> plansProblem(const nlohmann::json& value) {
    if (!value.is_array()) {
        return std::string("the plans are a JSON array of objects");
    }
    std::vector<std::string> networks;
    for (const auto& item : value) {
        std::string problem;
        const auto plan = planFrom(item, problem);
        if (!plan) {
            return problem;
        }
        if (std::find(networks.begin(), networks.end(), plan->network) != networks.end()) {
            return "two plans for " + plan->network;
        }
        networks.push_back(plan->network);
    }
    return std::nullopt;
}

std::vector<DataPlan> plansFrom(const nlohmann::json& value) {
    std::vector<DataPlan> plans;
    if (!value.is_array()) {
        return plans;
    }
    for (const auto& item : value) {
        std::string ignored;
        if (auto plan = planFrom(item, ignored)) {
            plans.push_back(std::move(*plan));
        }
    }
    return plans;
}

nlohmann::json plansJson(const std::vector<DataPlan>& plans) {
    nlohmann::json array = nlohmann::json::array();
    for (const DataPlan& plan : plans) {
        array.push_back({{"network", plan.network},
                         {"capBytes", plan.capBytes},
                         {"cycleStartDay", plan.cycleStartDay},
                         {"warningPercent", plan.warningPercent},
                         {"count", directionWord(plan.count)}});
    }
    return array;
}

} // namespace korvel::usage
