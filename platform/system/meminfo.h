#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvel::platform {

// The kB fields of /proc/meminfo, by name ("MemTotal", "Active", ...).
using MemInfoFields = std::unordered_map<std::string, uint64_t>;

MemInfoFields parseMemInfo(std::string_view text);

// No value when <procRoot>/meminfo cannot be read.
std::optional<MemInfoFields> readMemInfo(const std::string& procRoot);

// Physical memory in bytes from the kernel's page count; 0 when unknown.
uint64_t physicalMemoryBytes();

// Number of logical processors online.
int processorCount();

} // namespace korvel::platform
