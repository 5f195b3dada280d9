#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform::sysfs {

// The numbers N of the entries named <prefix>N<suffix> in a directory, ascending
// (so hwmon2 comes before hwmon10). Empty when the directory cannot be read.
std::vector<unsigned> numberedEntries(const std::string& directory, std::string_view prefix,
                                      std::string_view suffix = {});

// Every entry name of a directory except "." and "..", sorted; none when unreadable.
std::optional<std::vector<std::string>> listEntryNames(const std::string& directory);
// The same, empty when unreadable.
std::vector<std::string> entryNames(const std::string& directory);

bool pathExists(const std::string& path);

// The last component of a symbolic link's target ("pci" for a device's subsystem link).
std::optional<std::string> linkTargetName(const std::string& path);

// A sysfs attribute holding one signed decimal number.
std::optional<long long> readSigned(const std::string& path);

// Whether reading the device's attributes leaves its power state alone. A device
// that runtime power management has put to sleep must not be woken by a sensor
// read: only "active" qualifies, or "unsupported" (runtime power management off)
// for a device that is not on the PCI bus. No status file means no power
// management, so reading is harmless.
bool deviceIsAwake(const std::string& devicePath);

} // namespace korvel::platform::sysfs
