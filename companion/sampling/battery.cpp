#include "companion/sampling/battery.h"

#include <algorithm>

namespace korvel {
namespace {

struct Capacity {
    double current = 0;
    double max = 0;
};

// Drivers report either energy or charge; a few offer only a percentage.
std::optional<Capacity> capacityOf(const platform::PowerSupply& supply) {
    const auto asDouble = [](const std::optional<unsigned long long>& v) {
        return static_cast<double>(v.value_or(0));
    };
    if (supply.energyFull) {
        return Capacity{asDouble(supply.energyNow), asDouble(supply.energyFull)};
    }
    if (supply.chargeFull) {
        return Capacity{asDouble(supply.chargeNow), asDouble(supply.chargeFull)};
    }
    if (supply.capacity) {
        return Capacity{asDouble(supply.capacity), 100.0};
    }
    return std::nullopt;
}

bool isInternalBattery(const platform::PowerSupply& supply) {
    return supply.type == "Battery" && supply.scope.value_or("") != "Device" &&
           supply.present.value_or(true);
}

} // namespace

std::optional<BatterySnapshot> readBattery(const std::string& sysRoot) {
    const auto supplies = platform::readPowerSupplies(sysRoot);
    if (!supplies) {
        return std::nullopt;
    }
    return batteryFromSupplies(*supplies);
}

std::optional<BatterySnapshot>
batteryFromSupplies(const std::vector<platform::PowerSupply>& supplies) {
    const bool onACPower = std::ranges::any_of(supplies, [](const platform::PowerSupply& supply) {
        return (supply.type == "Mains" || supply.type == "USB") && supply.online.value_or(false);
    });
    for (const auto& supply : supplies) {
        if (!isInternalBattery(supply)) {
            continue;
        }
        const auto capacity = capacityOf(supply);
        if (!capacity || !(capacity->max > 0)) {
            continue;
        }
        return BatterySnapshot{capacity->current / capacity->max * 100.0,
                               supply.status.value_or("") == "Charging", onACPower};
    }
    return std::nullopt;
}

} // namespace korvel
