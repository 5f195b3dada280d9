#pragma once

#include "tests/support/temp_dir.h"

#include <string>
#include <vector>

namespace korvel::testing {

// A fake /sys holding what the sensor and GPU readers look at.
class SysfsTree : public TempDir {
public:
    // hwmon<number>, with temp<i+1>_input for each value that is not null.
    void hwmonChip(int number, const std::string& name,
                   const std::vector<const char*>& millidegrees) const {
        const std::string dir = "class/hwmon/hwmon" + std::to_string(number);
        write(dir + "/name", name + "\n");
        for (size_t i = 0; i < millidegrees.size(); ++i) {
            if (millidegrees[i] != nullptr) {
                write(dir + "/temp" + std::to_string(i + 1) + "_input",
                      std::string(millidegrees[i]) + "\n");
            }
        }
    }

    // thermal_zone<number>; without a temperature file when millidegrees is null.
    void thermalZone(int number, const std::string& type, const char* millidegrees) const {
        const std::string dir = "class/thermal/thermal_zone" + std::to_string(number);
        write(dir + "/type", type + "\n");
        if (millidegrees != nullptr) {
            write(dir + "/temp", std::string(millidegrees) + "\n");
        }
    }

    // A PCI device in the given runtime power state,
    // linked from `from` (below the directory) when one is given.
    std::filesystem::path pciDevice(const std::string& address, const std::string& status,
                                    const std::string& from = "") const {
        const auto device = path() / "devices/pci0000:00" / address;
        write("devices/pci0000:00/" + address + "/power/runtime_status", status + "\n");
        std::filesystem::create_directories(path() / "bus/pci/devices");
        std::filesystem::create_directory_symlink(path() / "bus/pci", device / "subsystem");
        if (!from.empty()) {
            std::filesystem::create_directories((path() / from).parent_path());
            std::filesystem::create_directory_symlink(device, path() / from);
        }
        return device;
    }
};

} // namespace korvel::testing
