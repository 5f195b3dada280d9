#include "platform/system/sysfs_entries.h"

#include "platform/system/text_file.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::platform::sysfs {

std::optional<std::vector<std::string>> listEntryNames(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> entryNames(const std::string& directory) {
    return listEntryNames(directory).value_or(std::vector<std::string>{});
}

std::vector<unsigned> numberedEntries(const std::string& directory, std::string_view prefix,
                                      std::string_view suffix) {
    std::vector<unsigned> numbers;
    for (const std::string& name : entryNames(directory)) {
        if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix)) {
            continue;
        }
        const std::string_view digits = std::string_view(name).substr(
            prefix.size(), name.size() - prefix.size() - suffix.size());
        unsigned number = 0;
        if (parseWhole(digits, number)) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::optional<std::string> linkTargetName(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) {
        return std::nullopt;
    }
    std::string_view target(buffer, static_cast<size_t>(n));
    while (target.size() > 1 && target.back() == '/') {
        target.remove_suffix(1);
    }
    const auto slash = target.rfind('/');
    return std::string(slash == std::string_view::npos ? target : target.substr(slash + 1));
}

std::optional<long long> readSigned(const std::string& path) {
    const auto line = readFirstLine(path);
    return line ? wholeNumber<long long>(*line) : std::nullopt;
}

bool deviceIsAwake(const std::string& devicePath) {
    const auto status = readFirstLine(devicePath + "/power/runtime_status");
    if (!status) {
        return true;
    }
    if (*status == "active") {
        return true;
    }
    // "unsupported" means runtime power management is disabled, so a platform
    // device is simply powered. A PCI device can be left asleep with it disabled
    // (while its driver unbinds, for one), so there only "active" is trusted.
    return *status == "unsupported" && linkTargetName(devicePath + "/subsystem") != "pci";
}

} // namespace korvel::platform::sysfs
