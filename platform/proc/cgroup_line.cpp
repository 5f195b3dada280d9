#include "platform/proc/cgroup_line.h"

namespace korvel::platform::proc {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

} // namespace

std::optional<std::string_view> parseCgroupPath(std::string_view text) {
    std::optional<std::string_view> systemd;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        const size_t first = line.find(':');
        const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view hierarchy = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (path.ends_with(kDeletedSuffix)) {
            path.remove_suffix(kDeletedSuffix.size());
        }
        if (hierarchy == "0" && controllers.empty()) {
            return path;
        }
        if (controllers == "name=systemd" && !systemd) {
            systemd = path;
        }
    }
    return systemd;
}

} // namespace korvel::platform::proc
