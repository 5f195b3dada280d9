#include "platform/system/memory_figures.h"

#include "platform/system/meminfo.h"
#include "platform/system/roots.h"

#include <initializer_list>

namespace korvel::platform {
namespace {

constexpr uint64_t kKibibyte = 1024;

uint64_t sumFields(const MemInfoFields& fields, std::initializer_list<const char*> names) {
    uint64_t sum = 0;
    for (const char* name : names) {
        if (const auto it = fields.find(name); it != fields.end()) {
            sum += it->second;
        }
    }
    return sum * kKibibyte;
}

} // namespace

MemoryFigures readMemoryFigures() {
    return readMemoryFigures(kLiveProcRoot);
}

MemoryFigures readMemoryFigures(const std::string& procRoot) {
    MemoryFigures figures;
    const auto fields = readMemInfo(procRoot);
    const auto memTotal = fields ? fields->find("MemTotal") : MemInfoFields::const_iterator{};
    const bool haveTotal = fields && memTotal != fields->end() && memTotal->second > 0;

    figures.total = haveTotal ? memTotal->second * kKibibyte : physicalMemoryBytes();
    if (!haveTotal) {
        return figures;
    }
    figures.free = sumFields(*fields, {"MemFree", "Inactive"});
    // What the kernel cannot hand back without swapping: active pages, pinned
    // kernel memory and the compressed pool.
    figures.used = sumFields(
        *fields, {"Active", "Unevictable", "SUnreclaim", "KernelStack", "PageTables", "Zswap"});
    if (const auto available = fields->find("MemAvailable"); available != fields->end()) {
        const uint64_t percent = available->second * 100 / memTotal->second;
        figures.level = static_cast<int32_t>(percent > 100 ? 100 : percent);
    }
    return figures;
}

} // namespace korvel::platform
