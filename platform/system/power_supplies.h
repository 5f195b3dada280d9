#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {

// The attributes of one entry of <sys>/class/power_supply that matter to a
// battery reading. Absent fields are attributes the driver does not offer or
// that could not be read.
struct PowerSupply {
    std::string name;
    std::string type;                  // "Battery", "Mains", "USB", "UPS", ...
    std::optional<std::string> scope;  // "System", "Device" (a peripheral's battery)
    std::optional<std::string> status; // "Charging", "Discharging", "Full", ...
    std::optional<bool> present;
    std::optional<bool> online;
    std::optional<unsigned long long> energyNow; // microwatt-hours
    std::optional<unsigned long long> energyFull;
    std::optional<unsigned long long> chargeNow; // microampere-hours
    std::optional<unsigned long long> chargeFull;
    std::optional<unsigned long long> capacity; // percent
};

// Every supply under <sysRoot>/class/power_supply, ordered by name. No value
// when the directory cannot be listed.
std::optional<std::vector<PowerSupply>> readPowerSupplies(const std::string& sysRoot);

} // namespace korvel::platform
