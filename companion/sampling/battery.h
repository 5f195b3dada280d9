#pragma once

#include "companion/model/battery_snapshot.h"
#include "platform/system/power_supplies.h"
#include "platform/system/roots.h"

#include <optional>
#include <string>
#include <vector>

namespace korvel {

// The machine's internal battery: the first "Battery" supply (by name) whose
// scope is not "Device" and that reports a full capacity above 0. AC power is
// any online "Mains" or "USB" supply. Absent on a machine without one.
std::optional<BatterySnapshot> readBattery(const std::string& sysRoot = platform::kLiveSysRoot);
std::optional<BatterySnapshot>
batteryFromSupplies(const std::vector<platform::PowerSupply>& supplies);

} // namespace korvel
