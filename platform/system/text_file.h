#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// Whole small kernel file (procfs and sysfs files report a size of 0, so this
// reads until end of file). No value when it cannot be opened or read.
std::optional<std::string> readTextFile(const std::string& path);

// First line of a sysfs attribute, without its newline.
std::optional<std::string> readFirstLine(const std::string& path);

// A sysfs attribute holding one unsigned decimal number.
std::optional<unsigned long long> readUnsigned(const std::string& path);

} // namespace korvel::platform
