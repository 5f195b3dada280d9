#include "platform/system/power_supplies.h"

#include "platform/system/sysfs_entries.h"
#include "platform/system/text_file.h"

namespace korvel::platform {
namespace {

std::optional<bool> readFlag(const std::string& path) {
    const auto value = readUnsigned(path);
    return value ? std::optional(*value != 0) : std::nullopt;
}

PowerSupply readSupply(const std::string& dir, const std::string& name) {
    const std::string base = dir + "/" + name + "/";
    PowerSupply supply;
    supply.name = name;
    supply.type = readFirstLine(base + "type").value_or("");
    supply.scope = readFirstLine(base + "scope");
    supply.status = readFirstLine(base + "status");
    supply.present = readFlag(base + "present");
    supply.online = readFlag(base + "online");
    supply.energyNow = readUnsigned(base + "energy_now");
    supply.energyFull = readUnsigned(base + "energy_full");
    supply.chargeNow = readUnsigned(base + "charge_now");
    supply.chargeFull = readUnsigned(base + "charge_full");
    supply.capacity = readUnsigned(base + "capacity");
    return supply;
}

} // namespace

std::optional<std::vector<PowerSupply>> readPowerSupplies(const std::string& sysRoot) {
    const std::string dir = sysRoot + "/class/power_supply";
    // Sorted: directory order is arbitrary, and a fixed one keeps "the first
    // battery" stable.
    const auto names = sysfs::listEntryNames(dir);
    if (!names) {
        return std::nullopt;
    }
    std::vector<PowerSupply> supplies;
    supplies.reserve(names->size());
    for (const auto& name : *names) {
        supplies.push_back(readSupply(dir, name));
    }
    return supplies;
}

} // namespace korvel::platform
