#pragma once

#include <cstdint>
#include <string>

namespace korvel::platform {

struct MemoryFigures {
    uint64_t total = 0;
    uint64_t used = 0;
    uint64_t free = 0;
    int32_t level = 100; // percent of memory available; 100 when unreadable
};

MemoryFigures readMemoryFigures();
MemoryFigures readMemoryFigures(const std::string& procRoot);

} // namespace korvel::platform
