#include "meter/cgroup_root.h"

#include "platform/system/text_file.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace korvel::meter {
namespace {

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescaped(std::string_view field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) {
            out.push_back(line.substr(at, end - at));
        }
        at = end + 1;
    }
    return out;
}

} // namespace

std::optional<std::string> cgroup2MountPoint(std::string_view mountinfo) {
    while (!mountinfo.empty()) {
        const size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
        const std::vector<std::string_view> fields = words(mountinfo.substr(0, end));
        mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
        // id parent dev root mountpoint options [optional…] - type source superoptions
        size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-") {
            ++separator;
        }
        if (separator + 1 < fields.size() && fields[separator + 1] == "cgroup2" &&
            fields[3] == "/") {
            return unescaped(fields[4]);
        }
    }
    return std::nullopt;
}

std::optional<std::string> cgroup2Root(const std::string& fallback, std::string& why) {
    if (auto mounted =
            cgroup2MountPoint(platform::readTextFile("/proc/self/mountinfo").value_or(""))) {
        return mounted;
    }
    ::mkdir(fallback.c_str(), 0700);
    if (::mount("korvel", fallback.c_str(), "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
        0) {
        why =
            "no cgroup v2 hierarchy, and none mounts at " + fallback + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return fallback;
}

} // namespace korvel::meter
