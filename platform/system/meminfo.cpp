#include "platform/system/meminfo.h"

#include "platform/system/text_file.h"

#include <charconv>
#include <unistd.h>

namespace korvel::platform {

MemInfoFields parseMemInfo(std::string_view text) {
    MemInfoFields fields;
    while (!text.empty()) {
        const auto lineEnd = text.find('\n');
        std::string_view line = text.substr(0, lineEnd);
        text = lineEnd == std::string_view::npos ? std::string_view{} : text.substr(lineEnd + 1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            continue;
        }
        std::string_view rest = line.substr(colon + 1);
        const auto digits = rest.find_first_not_of(' ');
        if (digits == std::string_view::npos) {
            continue;
        }
        rest.remove_prefix(digits);
        uint64_t value = 0;
        const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (ec != std::errc()) {
            continue;
        }
        fields.emplace(std::string(line.substr(0, colon)), value);
    }
    return fields;
}

std::optional<MemInfoFields> readMemInfo(const std::string& procRoot) {
    const auto text = readTextFile(procRoot + "/meminfo");
    if (!text) {
        return std::nullopt;
    }
    return parseMemInfo(*text);
}

uint64_t physicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

int processorCount() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

} // namespace korvel::platform
